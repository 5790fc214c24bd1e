# zav_target(<target>): the house settings every target of ours carries: warnings on and
# treated as errors, the repository root as include root (headers are included as
# "subsystem/header.h").
function(zav_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
