# MaxEntServe, the HTTP inference server, built only when cpp-httplib (found
# through pkg-config, which also gives the feature macros its library was
# built with) and nlohmann-json are installed.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
endif()
find_path(HTTPLIB_HEADER_DIR httplib.h HINTS ${HTTPLIB_INCLUDE_DIRS})
find_package(nlohmann_json 3.9 CONFIG QUIET)
if(NOT (HTTPLIB_FOUND AND HTTPLIB_HEADER_DIR AND nlohmann_json_FOUND))
  message(STATUS "cpp-httplib or nlohmann-json not found: MaxEntServe is not built")
  return()
endif()

add_executable(MaxEntServe MaxEntServe.cpp serve_metrics.cpp serve_model.cpp serve_protocol.cpp
                           serve_server.cpp)
target_link_libraries(MaxEntServe PRIVATE maxent_static PkgConfig::HTTPLIB
                                          nlohmann_json::nlohmann_json)
target_compile_definitions(MaxEntServe PRIVATE MAXENT_VERSION="${PROJECT_VERSION}")
set_target_properties(MaxEntServe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS MaxEntServe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/MaxEntServe.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The server's tests talk HTTP to the real program; they need Debian's
# python3-pytest and python3-requests and fail without them.
if(BUILD_TESTING)
  enable_testing()
  add_test(NAME serve COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
                              ${PROJECT_SOURCE_DIR}/tests/serve)
  set_tests_properties(serve PROPERTIES TIMEOUT 300 ENVIRONMENT
    "PYTHONDONTWRITEBYTECODE=1;SERVE_PATH=$<TARGET_FILE:MaxEntServe>;DECODER_PATH=$<TARGET_FILE:MaxEntDecoder>;SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endif()
