# The built-in translation table: one file per language, joined in this
# order into the resource "LANGUAGES" of ramdeck_core. Editing a language
# file configures again and rebuilds the resource.
set(RAMDECK_LANGUAGE_FILES
  en ru pt-BR it de pl uk sk zh-Hans hu es zh-Hant el sv ko nl cs fr bg fa
  fi no da ar ja hr tr sr-Cyrl sr-Latn et vi ro ca)
set(_table "")
foreach(_lang ${RAMDECK_LANGUAGE_FILES})
  set(_file ${CMAKE_CURRENT_SOURCE_DIR}/languages/${_lang}.ini)
  file(READ ${_file} _content)
  string(APPEND _table "${_content}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_file})
endforeach()
# Written only when it changed, so that an unchanged table rebuilds nothing.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/languages/LANGUAGES.new "${_table}")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/languages/LANGUAGES.new
  ${CMAKE_CURRENT_BINARY_DIR}/languages/LANGUAGES COPYONLY)
qt_add_resources(ramdeck_core languages PREFIX "/"
  BASE ${CMAKE_CURRENT_BINARY_DIR}/languages
  FILES ${CMAKE_CURRENT_BINARY_DIR}/languages/LANGUAGES)
