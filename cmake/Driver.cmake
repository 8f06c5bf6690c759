# Driver code is kernel-mode C++: no exceptions, no RTTI, and nothing of the
# standard library beyond freestanding headers. Its objects keep their symbols
# to themselves so that each loaded driver carries its own support library.
# It sees the kernel's public headers (ntoskrnl's include/ddk) and the source
# root, never the stand-in's host headers (ntoskrnl_host): those refuse to
# compile where BW_DRIVER_CODE is defined.
function(bw_driver_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-sanitize=vptr
                                           -fvisibility=hidden -fvisibility-inlines-hidden)
  target_compile_definitions(${target} PRIVATE BW_DRIVER_CODE=1)
  target_link_libraries(${target} PUBLIC ntoskrnl)
endfunction()

# A loadable driver: a shared object named NAME.sys that exports DriverEntry.
function(bw_driver_module target name)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name} SUFFIX ".sys")
  bw_driver_code(${target})
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,-Bsymbolic)
endfunction()
