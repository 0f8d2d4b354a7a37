# Linux desktop: the shared session bus connection, the second name of the
# bitmap and the tray item's icon pixmaps, generated from the application
# icon at build time.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

target_sources(pavo_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/session_bus_linux.cpp ${CMAKE_CURRENT_LIST_DIR}/shown_name_linux.cpp)

set(PAVO_TRAY_ICON "" CACHE FILEPATH
    "icon (.ico or .png) the tray pixmaps are made from; empty: the .ico in resources/, else a stand-in drawing")
if(PAVO_TRAY_ICON)
  set(_pavo_tray_sources ${PAVO_TRAY_ICON})
else()
  file(GLOB _pavo_tray_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.ico)
  list(SORT _pavo_tray_sources)
  list(SUBLIST _pavo_tray_sources 0 1 _pavo_tray_sources)
endif()
set(PAVO_TRAY_ICON_USED "${_pavo_tray_sources}" CACHE INTERNAL "icon the tray pixmaps were made from")

set(_pavo_tray_output ${CMAKE_CURRENT_BINARY_DIR}/tray_pixmaps_linux.cpp)
add_custom_command(
  OUTPUT ${_pavo_tray_output}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tray_pixmaps_linux.py
          --output ${_pavo_tray_output} ${_pavo_tray_sources}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tray_pixmaps_linux.py ${_pavo_tray_sources}
  COMMENT "Tray pixmaps (${_pavo_tray_sources})"
  VERBATIM)
# pavo_core is made in the top directory, which cannot see this directory's
# custom commands: a target here runs the generator first.
add_custom_target(pavo_tray_pixmaps DEPENDS ${_pavo_tray_output})
set_source_files_properties(${_pavo_tray_output} TARGET_DIRECTORY pavo_core PROPERTIES GENERATED TRUE)
target_sources(pavo_core PRIVATE ${_pavo_tray_output})
add_dependencies(pavo_core pavo_tray_pixmaps)
