# libre, rem and baresip, built by scripts/deps/build-sip-stack.sh into
# private prefixes, as the interface target zv::sip. A target whose property
# ZV_MEM_DEBUG is true links libre with its memory report (the test variants
# of the program, which print every leak at shutdown); the sanitizer build
# has one stack only, with the report and the sanitizers, and so has the
# thread sanitizer's build, without the report.
set(ZV_DEPS_DIR ${CMAKE_SOURCE_DIR}/.deps CACHE PATH "Cache of the SIP stack build")
if(ZV_SANITIZE)
  set(sip_variants sanitize)
  set(ZV_SIP_PREFIX ${ZV_DEPS_DIR}/prefix-sanitize)
  set(libre_memdebug ${ZV_SIP_PREFIX}/lib/libre.a)
elseif(ZV_SANITIZE_THREAD)
  set(sip_variants tsan)
  set(ZV_SIP_PREFIX ${ZV_DEPS_DIR}/prefix-tsan)
  set(libre_memdebug ${ZV_SIP_PREFIX}/lib/libre.a)
else()
  set(sip_variants release memdebug)
  set(ZV_SIP_PREFIX ${ZV_DEPS_DIR}/prefix)
  set(libre_memdebug ${ZV_DEPS_DIR}/prefix-memdebug/lib/libre.a)
endif()
execute_process(
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/deps/build-sip-stack.sh ${ZV_DEPS_DIR} ${sip_variants}
  RESULT_VARIABLE sip_stack_result)
if(NOT sip_stack_result EQUAL 0)
  message(FATAL_ERROR "building the SIP stack failed")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/scripts/deps/build-sip-stack.sh ${ZV_SIP_PREFIX}/.stamp)
define_property(TARGET PROPERTY ZV_MEM_DEBUG
  BRIEF_DOCS "Link libre with its memory report"
  FULL_DOCS "The program's test variants print every leak at shutdown.")

# Our code must see exactly the feature macros that libre was compiled
# with: several of them change the layout of shared structures.
file(STRINGS ${ZV_SIP_PREFIX}/re-defines.txt re_defines)
list(TRANSFORM re_defines REPLACE "^-D" "")

find_package(PkgConfig REQUIRED)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

add_library(zv_sip INTERFACE)
add_library(zv::sip ALIAS zv_sip)
target_include_directories(zv_sip SYSTEM INTERFACE
  ${ZV_SIP_PREFIX}/include/re ${ZV_SIP_PREFIX}/include/rem ${ZV_SIP_PREFIX}/include/baresip)
target_compile_definitions(zv_sip INTERFACE ${re_defines})
# libbaresip refers to a static module table of its own: an empty one,
# linked right after it.
add_library(zv_sip_mod_table STATIC ${CMAKE_SOURCE_DIR}/src/compat/library/mod_table.cpp)
target_include_directories(zv_sip_mod_table PRIVATE
  ${ZV_SIP_PREFIX}/include/re ${ZV_SIP_PREFIX}/include/rem ${ZV_SIP_PREFIX}/include/baresip
  ${CMAKE_SOURCE_DIR}/src/compat)
target_compile_definitions(zv_sip_mod_table PRIVATE ${re_defines})
target_link_libraries(zv_sip INTERFACE
  ${ZV_SIP_PREFIX}/lib/libbaresip.a zv_sip_mod_table ${ZV_SIP_PREFIX}/lib/librem.a
  $<IF:$<BOOL:$<TARGET_PROPERTY:ZV_MEM_DEBUG>>,${libre_memdebug},${ZV_SIP_PREFIX}/lib/libre.a>
  PkgConfig::OPUS OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB m Threads::Threads dl)
