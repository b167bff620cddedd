# Compile options shared by every target of the build: warnings and sanitizers.

add_library(dadovu_compile_options INTERFACE)
target_compile_options(dadovu_compile_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(DADOVU_WERROR)
  # Except for deprecations: an outside library that deprecates a function we
  # call (a release's update of Expat, say) must not fail a build that built
  # the day before. The warning stays, to be dealt with in a commit of ours.
  target_compile_options(dadovu_compile_options INTERFACE -Werror -Wno-error=deprecated-declarations)
endif()

if(DADOVU_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(DADOVU_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT DADOVU_SANITIZER STREQUAL "")
  message(FATAL_ERROR "DADOVU_SANITIZER must be '', 'address' or 'thread'")
endif()

# dadovu_target_defaults(<target>): warnings for one of the project's own targets.
function(dadovu_target_defaults target)
  target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:dadovu_compile_options>)
endfunction()
