# Which functions the Expat found offers, for code that builds with several
# Expat releases (Debian 12 has 2.5, Debian 13 2.7 and later, and newer
# releases deprecate functions older ones only have).
#
# The INTERFACE target expat_features carries one compile definition per
# function checked, HAVE_<FUNCTION IN UPPER CASE>, always defined: 1 when
# expat.h declares the function and the library links with it, 0 otherwise.
# Link it as $<BUILD_INTERFACE:expat_features>: it exists only in the
# build tree.
#
#   XML_GetCurrentLineNumber64, XML_GetCurrentColumnNumber64,
#   XML_GetCurrentByteIndex64, XML_GetCurrentByteCount64,
#   XML_GetInputContext64     Expat 2.9; the functions without 64 are
#                             deprecated from then on
#   XML_SetHashSalt16Bytes    Expat 2.8; XML_SetHashSalt is deprecated from then on
#   XML_SetReparseDeferralEnabled
#                             Expat 2.6, and Debian 12's 2.5.0-1+deb12u2 and later

include_guard(GLOBAL)

find_package(EXPAT REQUIRED)
include(CheckCXXSymbolExists)
include(CMakePushCheckState)

add_library(expat_features INTERFACE)

set(_dadovu_expat_functions
  XML_GetCurrentLineNumber64 XML_GetCurrentColumnNumber64
  XML_GetCurrentByteIndex64 XML_GetCurrentByteCount64 XML_GetInputContext64
  XML_SetHashSalt16Bytes XML_SetReparseDeferralEnabled)

# The results are cached; they are checked again when expat.h changes (an
# upgrade of the same upstream version may add a function too).
set(_dadovu_expat_key "")
foreach(dir IN LISTS EXPAT_INCLUDE_DIRS)
  if(EXISTS "${dir}/expat.h")
    file(SHA256 "${dir}/expat.h" _dadovu_expat_key)
    break()
  endif()
endforeach()
set(_dadovu_expat_recheck FALSE)
if(NOT "$CACHE{DADOVU_EXPAT_FEATURES_KEY}" STREQUAL "${_dadovu_expat_key}")
  set(_dadovu_expat_recheck TRUE)
endif()

cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_LIBRARIES EXPAT::EXPAT)
set(CMAKE_REQUIRED_QUIET ON)
set(_dadovu_expat_found "")
set(_dadovu_expat_missing "")
foreach(function IN LISTS _dadovu_expat_functions)
  string(TOUPPER "HAVE_${function}" definition)
  if(_dadovu_expat_recheck)
    unset(${definition} CACHE)
  endif()
  check_cxx_symbol_exists(${function} expat.h ${definition})
  if(${definition})
    target_compile_definitions(expat_features INTERFACE ${definition}=1)
    list(APPEND _dadovu_expat_found ${function})
  else()
    target_compile_definitions(expat_features INTERFACE ${definition}=0)
    list(APPEND _dadovu_expat_missing ${function})
  endif()
endforeach()
cmake_pop_check_state()

if(_dadovu_expat_recheck)
  foreach(list IN ITEMS found missing)
    if(_dadovu_expat_${list})
      string(REPLACE ";" " " _dadovu_expat_${list} "${_dadovu_expat_${list}}")
    else()
      set(_dadovu_expat_${list} "(none)")
    endif()
  endforeach()
  message(STATUS "Expat ${EXPAT_VERSION_STRING} has: ${_dadovu_expat_found}")
  message(STATUS "Expat ${EXPAT_VERSION_STRING} lacks: ${_dadovu_expat_missing}")
  set(DADOVU_EXPAT_FEATURES_KEY "${_dadovu_expat_key}" CACHE INTERNAL "SHA-256 of the expat.h checked")
endif()
unset(_dadovu_expat_functions)
unset(_dadovu_expat_key)
unset(_dadovu_expat_recheck)
unset(_dadovu_expat_found)
unset(_dadovu_expat_missing)
