# Cross build of the UEFI images with clang and lld-link: PE32+ for x86-64,
# no firmware SDK, no C or C++ runtime.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)


set(CMAKE_C_FLAGS_INIT "--target=x86_64-unknown-windows-msvc")
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-unknown-windows-msvc")
# For a clang that targets MSVC on a generic system CMake knows no dependency
# flags, and without them a changed header rebuilds nothing that includes it:
# objects with stale layouts would be linked into the image.
set(CMAKE_DEPFILE_FLAGS_C "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
# Nothing can be linked without our own entry point, so probe with a library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_EXECUTABLE_SUFFIX .efi)
set(CMAKE_CXX_LINK_EXECUTABLE "lld-link <LINK_FLAGS> <OBJECTS> -out:<TARGET> <LINK_LIBRARIES>")
set(CMAKE_C_LINK_EXECUTABLE "lld-link <LINK_FLAGS> <OBJECTS> -out:<TARGET> <LINK_LIBRARIES>")
set(PCIPLAT_EFI ON CACHE BOOL "Build the UEFI images" FORCE)
# The PE time stamp: fixed, so that two builds of the same sources, anywhere
# and at any time, give the same bytes (SOURCE_DATE_EPOCH when set, else 0).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(PCIPLAT_IMAGE_TIMESTAMP_DEFAULT $ENV{SOURCE_DATE_EPOCH})
else()
  set(PCIPLAT_IMAGE_TIMESTAMP_DEFAULT 0)
endif()
set(PCIPLAT_IMAGE_TIMESTAMP ${PCIPLAT_IMAGE_TIMESTAMP_DEFAULT} CACHE STRING "PE time stamp of the UEFI images")
