# Layering enforced by the build: a layer's target gets an include root
# that holds only the top-level source directories it may include from, so
# an include of a higher layer does not compile.
#
#   platform/            sees platform/
#   link/                sees link/ and platform/
#   passthru/, services/ see the whole tree and the public header
#   passthru/export/     the export face, over the core
function(orv_layer_include_root target)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  file(MAKE_DIRECTORY ${root})
  foreach(dir ${ARGN})
    if(NOT EXISTS ${root}/${dir})
      file(CREATE_LINK ${ORV_ROOT}/${dir} ${root}/${dir} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PRIVATE ${root})
endfunction()
