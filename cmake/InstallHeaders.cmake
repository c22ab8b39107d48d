# Run by `cmake --install` (see cmake/Install.cmake): copies the public
# headers into PELBO_HEADER_DESTINATION (the package's include/pelbo), keeping
# the paths clients include them by ("pelbo/core/ServiceEvent.h",
# "pelbo/corekit/ThreadPool.h"; cmake/PublicHeaders.cmake).
#
# The public headers are the ones under service/<subsystem>/ that export
# something (SERVICE_API), the request kinds, every header of the public folder
# platform/<c>/<c>/ of each installed component, and whatever project header
# those include, followed to the end. Gathered at install time, so a new
# subsystem's headers join without any list to keep.
#
# Inputs: PELBO_SOURCE_DIR, PELBO_PLATFORM_COMPONENTS, PELBO_HEADER_DESTINATION.
cmake_policy(VERSION 3.25)

set(roots ${PELBO_SOURCE_DIR}/service)
file(GLOB platform_dirs LIST_DIRECTORIES true ${PELBO_SOURCE_DIR}/platform/*)
foreach(dir IN LISTS platform_dirs)
  if(IS_DIRECTORY ${dir})
    list(APPEND roots ${dir})
  endif()
endforeach()

set(pending)
file(GLOB service_headers ${PELBO_SOURCE_DIR}/service/*/*.h)
foreach(header IN LISTS service_headers)
  file(STRINGS ${header} exports REGEX "SERVICE_API")
  if(exports)
    list(APPEND pending ${header})
  endif()
endforeach()
# Exports nothing, but the client needs its constants to read the signals.
foreach(name core/RequestKind.h)
  if(EXISTS ${PELBO_SOURCE_DIR}/service/${name})
    list(APPEND pending ${PELBO_SOURCE_DIR}/service/${name})
  endif()
endforeach()
foreach(component IN LISTS PELBO_PLATFORM_COMPONENTS)
  file(GLOB component_headers
    ${PELBO_SOURCE_DIR}/platform/${component}/${component}/*.h
    ${PELBO_SOURCE_DIR}/platform/${component}/${component}/*.inl)
  list(APPEND pending ${component_headers})
endforeach()

# Follows #include "pelbo/x/y.h" (and a header's own neighbours) through the
# project's source folders.
set(public)
while(pending)
  list(POP_FRONT pending header)
  if(header IN_LIST public)
    continue()
  endif()
  list(APPEND public ${header})
  file(STRINGS ${header} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" name "${line}")
    get_filename_component(own_dir ${header} DIRECTORY)
    if(name MATCHES "^pelbo/")
      string(SUBSTRING "${name}" 6 -1 name)
      set(search ${roots})
    else()
      set(search ${own_dir})
    endif()
    foreach(root IN LISTS search)
      if(EXISTS ${root}/${name} AND NOT IS_DIRECTORY ${root}/${name})
        list(APPEND pending ${root}/${name})
        break()
      endif()
    endforeach()
  endforeach()
endwhile()

foreach(header IN LISTS public)
  set(relative)
  foreach(root IN LISTS roots)
    string(LENGTH "${root}/" root_length)
    string(SUBSTRING "${header}" 0 ${root_length} head)
    if(head STREQUAL "${root}/")
      string(SUBSTRING "${header}" ${root_length} -1 relative)
      break()
    endif()
  endforeach()
  if(relative)
    get_filename_component(subdir ${relative} DIRECTORY)
    file(INSTALL ${header} DESTINATION ${PELBO_HEADER_DESTINATION}/${subdir})
  endif()
endforeach()
