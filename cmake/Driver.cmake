# Driver code is kernel-mode C++: no exceptions, no RTTI, and nothing of the
# standard library beyond freestanding headers. Its objects keep their symbols
# to themselves so that each loaded driver carries its own support library.
function(bw_driver_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-sanitize=vptr
                                           -fvisibility=hidden -fvisibility-inlines-hidden)
  target_compile_definitions(${target} PRIVATE BW_DRIVER_CODE=1)
endfunction()

# A loadable driver: a shared object named NAME.sys that exports DriverEntry.
function(bw_driver_module target name)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name} SUFFIX ".sys")
  bw_driver_code(${target})
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,-Bsymbolic)
endfunction()
