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
# The programs are imported targets of the package too, so a client's tests
# can start the local server from CMake: add_test(... COMMAND Service::devserver).
if(TARGET pelbo-devserver)
  set_property(TARGET pelbo-devserver PROPERTY EXPORT_NAME devserver)
endif()
install(TARGETS ${pelbo_programs} EXPORT ServiceTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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
# One module per library, pelbo-<library> (pelbo-service, pelbo-keepsafe,
# ...), requiring the modules of the package libraries it exposes, so a
# client names what it calls and pkg-config adds the rest; "service" requires
# them all.
set(pc_all_modules)
foreach(target IN LISTS pelbo_package_libraries)
  get_target_property(pc_library ${target} OUTPUT_NAME)
  if(NOT pc_library)
    set(pc_library ${target})
  endif()
  string(TOLOWER "pelbo-${target}" pc_name)
  set(pc_requires)
  get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  foreach(link IN LISTS links)
    if(link IN_LIST pelbo_package_libraries)
      string(TOLOWER "pelbo-${link}" required)
      list(APPEND pc_requires ${required})
    endif()
  endforeach()
  list(JOIN pc_requires ", " pc_requires)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pelbo-library.pc.in ${PROJECT_BINARY_DIR}/package/${pc_name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${pc_name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  list(APPEND pc_all_modules ${pc_name})
endforeach()
list(JOIN pc_all_modules ", " pc_all_modules)
configure_file(${PROJECT_SOURCE_DIR}/cmake/service.pc.in ${PROJECT_BINARY_DIR}/package/service.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/service.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Documentation beside the package, in share/doc/pelbo: every page of docs/
# with the pictures the pages show (the installed headers refer to the
# pages), and under licenses/<package>/copyright the licence text of every
# third-party library the installed files link.
set(PELBO_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/pelbo)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${PELBO_INSTALL_DOCDIR}
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.jpg" PATTERN "*.svg")

# The imported targets (the third-party libraries) that the given targets
# link, followed through the project's own targets and through the imported
# targets' own links. A link that is neither a target seen from here nor a
# part of the C library fails: it could bring a library whose licence would
# go missing.
function(pelbo_linked_imports out)
  set(queue ${ARGN})
  set(seen)
  set(imports)
  while(queue)
    list(POP_FRONT queue target)
    get_target_property(aliased ${target} ALIASED_TARGET)
    if(aliased)
      set(target ${aliased})
    endif()
    if(target IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(imported ${target} IMPORTED)
    get_target_property(type ${target} TYPE)
    set(links)
    if(imported)
      list(APPEND imports ${target})
    elseif(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${target} LINK_LIBRARIES)
      if(NOT links)
        set(links)
      endif()
    endif()
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    if(NOT interface)
      set(interface)
    endif()
    foreach(link IN LISTS links interface)
      string(REGEX REPLACE "^\\$<(LINK_ONLY|BUILD_INTERFACE):(.*)>$" "\\2" link "${link}")
      if(TARGET "${link}")
        list(APPEND queue "${link}")
      elseif(link MATCHES "^(::@|-|\\$<)" OR link MATCHES "^(c|m|dl|rt|pthread)$"
             OR (imported AND IS_ABSOLUTE "${link}"))
        # Directory markers, flags, other build or install conditions, the C
        # library; an imported target's files are read by pelbo_import_files.
      else()
        message(FATAL_ERROR "${target} links ${link}, which is no target visible to cmake/Install.cmake: "
                            "import it GLOBAL so its licence text can be collected")
      endif()
    endforeach()
  endwhile()
  set(${out} ${imports} PARENT_SCOPE)
endfunction()

# The files that stand for an imported target: its libraries, or for a
# header-only library the file its PELBO_PACKAGE_FILE names.
function(pelbo_import_files target out)
  set(files)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(configs ${target} IMPORTED_CONFIGURATIONS)
    set(properties IMPORTED_LOCATION)
    foreach(config IN LISTS configs)
      string(TOUPPER "IMPORTED_LOCATION_${config}" property)
      list(APPEND properties ${property})
    endforeach()
    foreach(property IN LISTS properties)
      get_target_property(location ${target} ${property})
      if(location)
        list(APPEND files ${location})
      endif()
    endforeach()
  endif()
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  foreach(item IN LISTS interface)
    if(IS_ABSOLUTE "${item}" AND EXISTS "${item}")
      list(APPEND files ${item})
    endif()
  endforeach()
  get_target_property(probe ${target} PELBO_PACKAGE_FILE)
  if(probe)
    list(APPEND files ${probe})
  endif()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Each library's text is the copyright file of the Debian package that holds
# its files, taken when the build is configured. A library that cannot be
# traced to an installed package with that file fails the configuration:
# a package with a licence text missing must not be made.
if(CMAKE_CROSSCOMPILING)
  message(NOTICE "Cross build: the third-party libraries come from the cross-built prefix "
                 "(tools/scripts/windows-deps.sh), not from installed Debian packages, so their licence texts "
                 "are not collected; ${PELBO_INSTALL_DOCDIR}/THIRD_PARTY_LICENSES.md lists the libraries and "
                 "their licences, whose texts are the debian/copyright files of those source packages.")
else()
  find_program(PELBO_DPKG_QUERY dpkg-query)
  if(NOT PELBO_DPKG_QUERY)
    message(FATAL_ERROR "The licence texts of the third-party libraries come from Debian's packages: "
                        "dpkg-query is missing")
  endif()
  pelbo_linked_imports(pelbo_imports ${pelbo_package_libraries} ${pelbo_programs})
  set(pelbo_licence_queries)
  foreach(import IN LISTS pelbo_imports)
    # The C library's threads.
    if(import STREQUAL "Threads::Threads")
      continue()
    endif()
    pelbo_import_files(${import} files)
    if(NOT files)
      message(FATAL_ERROR "No file of ${import} tells which Debian package brings it (a header-only library "
                          "names one of its headers in its PELBO_PACKAGE_FILE property)")
    endif()
    set(pelbo_files_of_${import})
    foreach(file IN LISTS files)
      file(REAL_PATH "${file}" real)
      # With the merged /usr, dpkg may know a library under /lib.
      set(names ${real})
      if(real MATCHES "^/usr(/lib/.*)$")
        list(APPEND names ${CMAKE_MATCH_1})
      endif()
      list(APPEND pelbo_licence_queries ${names})
      list(JOIN names "|" alternatives)
      list(APPEND pelbo_files_of_${import} "${alternatives}")
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES pelbo_licence_queries)
  # dpkg-query fails for the names it does not know and answers the others.
  execute_process(COMMAND ${PELBO_DPKG_QUERY} -S ${pelbo_licence_queries}
    OUTPUT_VARIABLE owners ERROR_QUIET)
  string(REGEX MATCHALL "[^\n]+" owners "${owners}")
  set(owned_paths)
  set(owner_packages)
  foreach(line IN LISTS owners)
    if(line MATCHES "^([^:, ]+)[^ ]*: (/.*)$")
      list(APPEND owned_paths "${CMAKE_MATCH_2}")
      list(APPEND owner_packages "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(pelbo_licence_packages)
  foreach(import IN LISTS pelbo_imports)
    foreach(alternatives IN LISTS pelbo_files_of_${import})
      string(REPLACE "|" ";" names "${alternatives}")
      set(package)
      foreach(name IN LISTS names)
        list(FIND owned_paths "${name}" at)
        if(at GREATER -1 AND NOT package)
          list(GET owner_packages ${at} package)
        endif()
      endforeach()
      if(NOT package)
        message(FATAL_ERROR "${import} (${names}) belongs to no installed Debian package: "
                            "its licence text cannot be collected")
      endif()
      list(APPEND pelbo_licence_packages ${package})
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES pelbo_licence_packages)
  list(SORT pelbo_licence_packages)
  foreach(package IN LISTS pelbo_licence_packages)
    set(copyright /usr/share/doc/${package}/copyright)
    if(NOT EXISTS ${copyright})
      message(FATAL_ERROR "${copyright} is missing: the licence text of a library the package links")
    endif()
    file(REAL_PATH ${copyright} copyright)
    install(FILES ${copyright} DESTINATION ${PELBO_INSTALL_DOCDIR}/licenses/${package} RENAME copyright)
  endforeach()
  list(JOIN pelbo_licence_packages ", " listed)
  message(STATUS "Licence texts to install, from the Debian packages: ${listed}")
endif()
