# Public headers are included by one path in the build tree and in the
# installed package: "pelbo/<folder>/<header>", e.g. "pelbo/core/ServiceEvent.h"
# or "pelbo/corekit/ThreadPool.h". The project's own folder keeps core/ or
# compat/ from clashing with a client's folders of the same name.
#
# In the build tree PELBO_INCLUDE_ROOT/pelbo/<folder> is a link to the source
# folder holding those headers, so the sources stay where they are.
set(PELBO_INCLUDE_ROOT ${PROJECT_BINARY_DIR}/include)
file(MAKE_DIRECTORY ${PELBO_INCLUDE_ROOT}/pelbo)

# pelbo_public_headers(<target> <folder> <source dir>): makes <source dir>
# includable as "pelbo/<folder>/..." by <target> and by whatever links it.
function(pelbo_public_headers target folder source_dir)
  file(CREATE_LINK ${source_dir} ${PELBO_INCLUDE_ROOT}/pelbo/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PELBO_INCLUDE_ROOT}>)
endfunction()
