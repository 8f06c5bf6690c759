// Fontconfig keeps its configuration cache for the life of the process and
// never frees it; that is the font library's, not a leak of the dialogs.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
