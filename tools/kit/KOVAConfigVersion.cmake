# KOVA.dll @VERSION_MAJOR@.@VERSION_MINOR@: a request for the same major version and no later
# minor one is met. The library is 32-bit: a 64-bit build does not find it.
set(PACKAGE_VERSION "@VERSION_MAJOR@.@VERSION_MINOR@")
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  # CMake shows this version in its refusal: let it say why.
  set(PACKAGE_VERSION "${PACKAGE_VERSION} (KOVA is 32-bit only: this build is ${CMAKE_SIZEOF_VOID_P}-byte pointers; configure a 32-bit build)")
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
elseif(PACKAGE_FIND_VERSION_MAJOR EQUAL @VERSION_MAJOR@ AND NOT PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
elseif(NOT PACKAGE_FIND_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
