# Third-party libraries: Debian's packages on Linux (tools/scripts/deps.sh),
# the cross-built static prefix on Windows (tools/scripts/windows-deps.sh).
# A component that finds a library in its own folder imports it GLOBAL, so
# that cmake/Install.cmake sees it when it collects the licence texts.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
if(WIN32)
  # Static archives need the libraries they use themselves, which
  # pkg-config lists only when asked for a static link.
  set(PKG_CONFIG_ARGN --static)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
if(WIN32)
  # libcurl is the one shared library among the dependencies; its DLL goes
  # beside ours (see docs/windows.md).
  pkg_check_modules(CURL_WIN REQUIRED IMPORTED_TARGET GLOBAL libcurl)
  add_library(CURL::libcurl ALIAS PkgConfig::CURL_WIN)
  find_file(PELBO_CURL_DLL NAMES libcurl-4.dll libcurl.dll PATH_SUFFIXES bin REQUIRED)
  target_link_libraries(OpenSSL::Crypto INTERFACE ws2_32 crypt32 bcrypt)
  set(Boost_INCLUDE_DIR ${PELBO_WIN_DEPS}/boost-include)
else()
  find_package(CURL REQUIRED)
  pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
endif()
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
find_package(Boost 1.81 REQUIRED)
# Header-only: the file by which the licence texts (cmake/Install.cmake)
# find the package that brings it.
set_property(TARGET Boost::headers PROPERTY PELBO_PACKAGE_FILE ${Boost_INCLUDE_DIR}/boost/version.hpp)
if(WIN32)
  # Asio's sockets are Winsock's, and its acceptor uses AcceptEx.
  target_link_libraries(Boost::headers INTERFACE ws2_32 mswsock)
endif()
if(PELBO_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
