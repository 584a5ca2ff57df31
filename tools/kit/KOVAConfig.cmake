# KOVA.dll for CMake: find_package(KOVA CONFIG) with KOVA_DIR set to this
# folder gives the imported target KOVA::KOVA (header, import library for
# the toolchain, and KOVA.dll itself).
if(NOT TARGET KOVA::KOVA)
  get_filename_component(_kova_kit "${CMAKE_CURRENT_LIST_DIR}" ABSOLUTE)
  add_library(KOVA::KOVA SHARED IMPORTED)
  if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    set(_kova_implib "${_kova_kit}/KOVA.lib")
  else()
    set(_kova_implib "${_kova_kit}/libKOVA.dll.a")
  endif()
  set_target_properties(KOVA::KOVA PROPERTIES
    IMPORTED_LOCATION "${_kova_kit}/KOVA.dll"
    IMPORTED_IMPLIB "${_kova_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_kova_kit}")
  unset(_kova_implib)
  unset(_kova_kit)
endif()
