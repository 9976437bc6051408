# libmosquitto 1.4.15, the MQTT library that the controller carries, built from its sources into
# this build folder (K482916_MOSQUITTO14=ON) in place of the system's libmosquitto. It is made as
# the series' own Makefile makes it: a shared libmosquitto.so.1 with the series' symbol versions,
# with TLS (and TLS-PSK), SOCKS and thread support (only the benchmarks' own clients start a
# thread). The sources are only read: the folder may be read-only.
#
# Sets MOSQUITTO_INCLUDE_DIR and MOSQUITTO_LIBRARY as the search for the system's library does.

# Default: shared/third_party/libmosquitto-1.4.15 beside the checkout or beside a folder above it
# (a clone made one level deeper finds the same sources), else in the development machines' shared
# folder /work/shared (a clone elsewhere, such as one below /tmp).
set(_mosq14_default "")
set(_mosq14_dir "${CMAKE_SOURCE_DIR}")
set(_mosq14_places "")
foreach(_level RANGE 3)
  get_filename_component(_mosq14_dir "${_mosq14_dir}" DIRECTORY)
  list(APPEND _mosq14_places "${_mosq14_dir}/shared/third_party/libmosquitto-1.4.15")
endforeach()
list(APPEND _mosq14_places "/work/shared/third_party/libmosquitto-1.4.15")
foreach(_mosq14_try IN LISTS _mosq14_places)
  if(NOT _mosq14_default AND EXISTS "${_mosq14_try}/lib/mosquitto.c")
    set(_mosq14_default "${_mosq14_try}")
  endif()
endforeach()
set(K482916_MOSQUITTO14_SOURCE "${_mosq14_default}"
    CACHE PATH "Sources of libmosquitto 1.4.15 (the folder holding lib/ and config.mk)")
set(_mosq14 "${K482916_MOSQUITTO14_SOURCE}")
if(NOT EXISTS "${_mosq14}/lib/mosquitto.c" OR NOT EXISTS "${_mosq14}/lib/linker.version")
  message(FATAL_ERROR "K482916_MOSQUITTO14: no libmosquitto 1.4.15 sources in ${_mosq14} "
                      "(set K482916_MOSQUITTO14_SOURCE)")
endif()

find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)

add_library(mosquitto14 SHARED
  ${_mosq14}/lib/logging_mosq.c
  ${_mosq14}/lib/memory_mosq.c
  ${_mosq14}/lib/messages_mosq.c
  ${_mosq14}/lib/mosquitto.c
  ${_mosq14}/lib/net_mosq.c
  ${_mosq14}/lib/read_handle.c
  ${_mosq14}/lib/read_handle_client.c
  ${_mosq14}/lib/read_handle_shared.c
  ${_mosq14}/lib/send_client_mosq.c
  ${_mosq14}/lib/send_mosq.c
  ${_mosq14}/lib/socks_mosq.c
  ${_mosq14}/lib/srv_mosq.c
  ${_mosq14}/lib/thread_mosq.c
  ${_mosq14}/lib/time_mosq.c
  ${_mosq14}/lib/tls_mosq.c
  ${_mosq14}/lib/util_mosq.c
  ${_mosq14}/lib/will_mosq.c)
# Debian's OpenSSL keeps its configuration header in the architecture's include folder.
set(_mosq14_ssl_arch "${OPENSSL_INCLUDE_DIR}/${CMAKE_LIBRARY_ARCHITECTURE}")
target_include_directories(mosquitto14 PRIVATE ${_mosq14} ${_mosq14}/lib ${OPENSSL_INCLUDE_DIR})
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS "${_mosq14_ssl_arch}")
  target_include_directories(mosquitto14 PRIVATE ${_mosq14_ssl_arch})
endif()
target_compile_definitions(mosquitto14 PRIVATE WITH_TLS WITH_TLS_PSK WITH_SOCKS WITH_THREADING
                                               VERSION="1.4.15")
# Not this project's code: its warnings (OpenSSL 3 deprecations above all) are not ours to fix.
target_compile_options(mosquitto14 PRIVATE -w)
target_link_libraries(mosquitto14 PRIVATE ${OPENSSL_SSL_LIBRARY} ${OPENSSL_CRYPTO_LIBRARY}
                                          Threads::Threads)
target_link_options(mosquitto14 PRIVATE "-Wl,--version-script=${_mosq14}/lib/linker.version")
set_target_properties(mosquitto14 PROPERTIES
  OUTPUT_NAME mosquitto
  SOVERSION 1
  VERSION 1.4.15
  C_VISIBILITY_PRESET default
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/mosquitto14)

# The public header alone, so that none of the library's internal headers is in reach of the daemon.
configure_file(${_mosq14}/lib/mosquitto.h ${CMAKE_BINARY_DIR}/mosquitto14/include/mosquitto.h
               COPYONLY NO_SOURCE_PERMISSIONS)
set(MOSQUITTO_INCLUDE_DIR ${CMAKE_BINARY_DIR}/mosquitto14/include)
set(MOSQUITTO_LIBRARY mosquitto14)
set(K482916_MOSQUITTO14_LIBDIR ${CMAKE_BINARY_DIR}/mosquitto14)

# Target programs under emulation find this library before the sysroot's libmosquitto.
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(TRANSFORM CMAKE_CROSSCOMPILING_EMULATOR REPLACE "^LD_LIBRARY_PATH="
       "LD_LIBRARY_PATH=${K482916_MOSQUITTO14_LIBDIR}:")
endif()
