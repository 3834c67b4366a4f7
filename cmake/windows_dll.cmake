# quillport.dll: 32-bit x86, Microsoft C++ ABI, no C runtime. Objects come
# from clang; import libraries from llvm-dlltool and the project's own .def
# lists; lld-link is called directly so that nothing adds a default library.
find_program(LLD_LINK lld-link REQUIRED)
find_program(LLVM_DLLTOOL llvm-dlltool REQUIRED)

set(QUILLPORT_FREESTANDING_FLAGS
  -ffreestanding -nostdinc++ -fno-exceptions -fno-rtti -fno-stack-protector
  -mno-stack-arg-probe -Wall -Wextra -Werror)

# quillport_import_library(NAME DEF): NAME.lib in the build tree, from DEF.
function(quillport_import_library name def)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.lib
    COMMAND ${LLVM_DLLTOOL} -k -m i386 -d ${def} -l ${CMAKE_BINARY_DIR}/${name}.lib
    DEPENDS ${def}
    COMMENT "Import library ${name}.lib")
  add_custom_target(${name}_import_library DEPENDS ${CMAKE_BINARY_DIR}/${name}.lib)
endfunction()

quillport_import_library(kernel32 ${PROJECT_SOURCE_DIR}/src/platform/kernel32.def)
quillport_import_library(user32 ${PROJECT_SOURCE_DIR}/src/platform/user32.def)

add_library(quillport_objects OBJECT
  ${QUILLPORT_SOURCES}
  ${PROJECT_SOURCE_DIR}/src/platform/runtime_win32.cpp)
target_include_directories(quillport_objects PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(quillport_objects PRIVATE QUILLPORT_BUILDING QUILLPORT_FREESTANDING)
target_compile_options(quillport_objects PRIVATE ${QUILLPORT_FREESTANDING_FLAGS} -O2)

set(QUILLPORT_DLL ${CMAKE_BINARY_DIR}/quillport.dll)
set(QUILLPORT_DEF ${PROJECT_SOURCE_DIR}/include/quillport.def)
add_custom_command(OUTPUT ${QUILLPORT_DLL}
  COMMAND ${LLD_LINK} /nologo /dll /machine:x86 /nodefaultlib /entry:DllEntry
    /subsystem:windows /def:${QUILLPORT_DEF} /out:${QUILLPORT_DLL}
    $<TARGET_OBJECTS:quillport_objects>
    ${CMAKE_BINARY_DIR}/kernel32.lib ${CMAKE_BINARY_DIR}/user32.lib
  DEPENDS quillport_objects $<TARGET_OBJECTS:quillport_objects> ${QUILLPORT_DEF}
    ${CMAKE_BINARY_DIR}/kernel32.lib ${CMAKE_BINARY_DIR}/user32.lib
  COMMAND_EXPAND_LISTS
  COMMENT "Linking quillport.dll")
add_custom_target(quillport_dll ALL DEPENDS ${QUILLPORT_DLL})

# quillport_windows_program(NAME ENTRY symbol SOURCES ... [INCLUDES ...] IMPORTS lib...)
# A 32-bit console program built like the DLL, with no C runtime, linked as
# NAME.exe next to quillport.dll, where LoadLibraryA looks first. IMPORTS
# names import libraries made by quillport_import_library.
function(quillport_windows_program name)
  cmake_parse_arguments(PROGRAM "" "ENTRY" "SOURCES;INCLUDES;IMPORTS" ${ARGN})
  add_library(${name}_objects OBJECT ${PROGRAM_SOURCES})
  target_include_directories(${name}_objects PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src ${PROGRAM_INCLUDES})
  target_compile_options(${name}_objects PRIVATE ${QUILLPORT_FREESTANDING_FLAGS} -O2)

  set(exe ${CMAKE_BINARY_DIR}/${name}.exe)
  list(TRANSFORM PROGRAM_IMPORTS PREPEND ${CMAKE_BINARY_DIR}/ OUTPUT_VARIABLE libraries)
  list(TRANSFORM libraries APPEND .lib)
  add_custom_command(OUTPUT ${exe}
    COMMAND ${LLD_LINK} /nologo /subsystem:console /entry:${PROGRAM_ENTRY} /nodefaultlib
      /machine:x86 /out:${exe} $<TARGET_OBJECTS:${name}_objects> ${libraries}
    DEPENDS ${name}_objects $<TARGET_OBJECTS:${name}_objects> ${libraries}
    COMMAND_EXPAND_LISTS
    COMMENT "Linking ${name}.exe")
  add_custom_target(${name}_build ALL DEPENDS ${exe})
  list(TRANSFORM PROGRAM_IMPORTS APPEND _import_library OUTPUT_VARIABLE import_targets)
  add_dependencies(${name}_build ${import_targets} quillport_dll)
endfunction()

if(EXISTS ${PROJECT_SOURCE_DIR}/tests/windows/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests)
endif()

add_subdirectory(${PROJECT_SOURCE_DIR}/demo ${CMAKE_BINARY_DIR}/demo)

# The virtual parallel-port driver that the end-to-end tests and the demo run against.
add_subdirectory(${PROJECT_SOURCE_DIR}/tools/vport ${CMAKE_BINARY_DIR}/vport)
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/e2e ${CMAKE_BINARY_DIR}/e2e)
