# Compile options shared by every target of the build: warnings and sanitizers.

add_library(dadovu_compile_options INTERFACE)
target_compile_options(dadovu_compile_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(DADOVU_WERROR)
  target_compile_options(dadovu_compile_options INTERFACE -Werror)
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
