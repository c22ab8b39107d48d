# The installable package (docs/install.md): the shared libraries, the public
# headers, Tidewell, the local server, a CMake package (find_package(Service)
# with imported targets Service::<library>) and a pkg-config file (service).
#
# Everything is found rather than listed, so a new platform component or a
# new subsystem of Service joins the package by existing:
#  - libraries: every shared library defined under platform/, and Service;
#  - headers: every header under service/ that exports (SERVICE_API), the
#    public folder platform/<c>/<c>/ of every installed component, and the
#    project headers those include, gathered when the package is installed
#    (cmake/InstallHeaders.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PELBO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
set(PELBO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Service)

set(pelbo_package_libraries Service)
set(pelbo_platform_components)
get_property(pelbo_platform_dirs DIRECTORY ${PROJECT_SOURCE_DIR}/platform PROPERTY SUBDIRECTORIES)
foreach(dir IN LISTS pelbo_platform_dirs)
  get_property(dir_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS dir_targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND pelbo_package_libraries ${target})
      list(APPEND pelbo_platform_components ${target})
    endif()
  endforeach()
endforeach()

# The source folders are include paths of the build tree only; installed
# targets see the package's include folder. Static helpers (compat) are
# linked into the shared libraries and hidden there, so a client of the
# package does not link them. A package built with sanitizers needs clients
# linked with the same runtime first in line.
if(PELBO_SANITIZE STREQUAL "address")
  set(pelbo_client_link_options -fsanitize=address,undefined)
elseif(PELBO_SANITIZE STREQUAL "thread")
  set(pelbo_client_link_options -fsanitize=thread)
else()
  set(pelbo_client_link_options)
endif()
foreach(target IN LISTS pelbo_package_libraries)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(dirs)
    set(build_dirs)
    foreach(dir IN LISTS dirs)
      if(dir MATCHES "^\\$<")
        list(APPEND build_dirs "${dir}")
      else()
        list(APPEND build_dirs "$<BUILD_INTERFACE:${dir}>")
      endif()
    endforeach()
    set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${build_dirs})
  endif()
  get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  if(links)
    set(kept)
    foreach(link IN LISTS links)
      set(build_only FALSE)
      if(TARGET ${link} AND NOT link IN_LIST pelbo_package_libraries)
        get_target_property(imported ${link} IMPORTED)
        if(NOT imported)
          set(build_only TRUE)
        endif()
      endif()
      if(build_only)
        list(APPEND kept "$<BUILD_INTERFACE:${link}>")
      else()
        list(APPEND kept "${link}")
      endif()
    endforeach()
    set_property(TARGET ${target} PROPERTY INTERFACE_LINK_LIBRARIES ${kept})
  endif()
  foreach(option IN LISTS pelbo_client_link_options)
    set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_OPTIONS "$<INSTALL_INTERFACE:${option}>")
  endforeach()
  # Libraries find each other beside themselves once installed.
  set_property(TARGET ${target} PROPERTY INSTALL_RPATH "$ORIGIN")
  # libService.so.1 (SONAME) -> libService.so.1.0.0, with the development
  # link libService.so: a client is bound to the major version it was built
  # against. Windows loads DLLs by their plain names.
  if(NOT WIN32)
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endforeach()

install(TARGETS ${pelbo_package_libraries}
  EXPORT ServiceTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${PELBO_INSTALL_INCLUDEDIR})
install(EXPORT ServiceTargets
  NAMESPACE Service::
  DESTINATION ${PELBO_INSTALL_CMAKEDIR})

set(pelbo_programs)
foreach(program pelbo-devserver Tidewell)
  if(TARGET ${program})
    list(APPEND pelbo_programs ${program})
  endif()
endforeach()
foreach(program IN LISTS pelbo_programs)
  file(RELATIVE_PATH to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_property(TARGET ${program} PROPERTY INSTALL_RPATH "$ORIGIN/${to_lib}")
endforeach()
install(TARGETS ${pelbo_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(CODE "
  set(PELBO_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(PELBO_PLATFORM_COMPONENTS \"${pelbo_platform_components}\")
  set(PELBO_HEADER_DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${PELBO_INSTALL_INCLUDEDIR}/pelbo\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallHeaders.cmake\")
")

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ServiceConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/ServiceConfig.cmake
  INSTALL_DESTINATION ${PELBO_INSTALL_CMAKEDIR}
  PATH_VARS PELBO_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ServiceConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ServiceConfig.cmake
              ${PROJECT_BINARY_DIR}/package/ServiceConfigVersion.cmake
  DESTINATION ${PELBO_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the file's own place, so the package
# may be moved or installed with --prefix.
file(RELATIVE_PATH pelbo_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pelbo_pc_to_prefix "${pelbo_pc_to_prefix}")
list(JOIN pelbo_client_link_options " " pelbo_pc_link_options)
configure_file(${PROJECT_SOURCE_DIR}/cmake/service.pc.in ${PROJECT_BINARY_DIR}/package/service.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/service.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
