# Installs what a tester host application's team builds and tests with, as the one CMake package
# gatewayutils (namespace gatewayutils::):
#   gatewayutils::gatewayutils  the library (with gatewayutils::os, its OS helper, and
#                               gatewayutils::platform, the declarations of what it needs of its
#                               host), for a host that brings its own platform libraries;
#   gatewayutils::standin       the library over the stand-in host (gatewayutils::host with the
#                               popup stand-in gatewayutils::popup and the firmware-file reader
#                               gatewayutils::firmware);
#   gatewayutils::connections   the stand-in host's connections to the emulated gateway, in
#                               process or over TCP (gatewayutils::emulator, which links the
#                               emulator's scenario, model, trace and serving parts, and
#                               gatewayutils::wire);
#   gatewayutils::process       gwemu as a test's fixture, child programs, environment variables
#                               and temporary folders, for a host's tests;
#   gatewayutils::signing       the cryptography of signed release folders (SHA-256, ECDSA P-256
#                               verification, and signing on Linux), over OpenSSL 3 on Linux, which
#                               the package's config finds for the consumer, and CNG on Windows;
#   gatewayutils::history       a tester's update history: its events, the history file's writer
#                               and reader (static; JSON through nlohmann::json, built in);
#   gatewayutils::gwctl, gatewayutils::gwemu  the tools, in bin/, and on Linux
#                               gatewayutils::gwfleet, the fleet collector (over libpq).
# The headers go to include/gatewayutils (cmake/Headers.cmake), the sample folders to
# share/gatewayutils, pkg-config files of the same five entry points to lib/pkgconfig. The
# rules hold for shared libraries as well (a DLL goes to bin/). gwu_warnings stays in the build:
# the targets link it as $<BUILD_INTERFACE:...>, so that no warning or sanitizer flag reaches a
# consumer.
include(CMakePackageConfigHelpers)

set(GWU_INSTALLED_TARGETS
    gatewayutils gwu_platform gwu_os gwu_firmware gatewayutils_host gatewayutils_popup
    gatewayutils_standin gwu_wire gwu_emulator_scenario gwu_emulator_model gwu_emulator_trace
    gwu_emulator_serving gwu_emulator_server gwu_emulator gatewayutils_connections gwu_process
    gwu_signing gatewayutils_history gwctl gwemu)
if(TARGET gwfleet)
  list(APPEND GWU_INSTALLED_TARGETS gwfleet)  # the fleet collector, Linux only
endif()
install(TARGETS ${GWU_INSTALLED_TARGETS}
        EXPORT gatewayutilsTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(GWU_RUNTIME_DLLS)
  install(FILES ${GWU_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(EXPORT gatewayutilsTargets
        NAMESPACE gatewayutils::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gatewayutils)

write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
# gatewayutils::signing is a static library over OpenSSL's libcrypto on Linux: a consumer that
# links it links OpenSSL::Crypto too, which the config looks for (on Windows it uses the system's
# bcrypt and crypt32, which need no finding). Quietly: a host that does not link signing finds
# the package without OpenSSL's development files; one that does is told the target is missing.
set(_gwu_openssl_dependency "")
if(NOT WIN32)
  set(_gwu_openssl_dependency "find_package(OpenSSL 3 QUIET COMPONENTS Crypto)\n")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfig.cmake
"include(CMakeFindDependencyMacro)
find_dependency(Threads)
${_gwu_openssl_dependency}include(\${CMAKE_CURRENT_LIST_DIR}/gatewayutilsTargets.cmake)
")
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gatewayutils)

# pkg-config, for hosts built without CMake; relocatable like the CMake package. The static
# libraries are listed in link order (the library calls the host's services: host after it).
file(RELATIVE_PATH _gwu_prefix_from_pc "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
     "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" _gwu_prefix_from_pc "${_gwu_prefix_from_pc}")
function(gwu_pkg_config name description requires libs)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${name}.pc CONTENT
"prefix=\${pcfiledir}/${_gwu_prefix_from_pc}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${name}
Description: ${description}
Version: ${PROJECT_VERSION}
Requires: ${requires}
Cflags: -I\${includedir}
Libs: -L\${libdir} ${libs}
")
endfunction()
gwu_pkg_config(gatewayutils
  "Firmware checks and updates of a vehicle-diagnostic gateway (the host brings the platform libraries)"
  "" "-lgatewayutils -lgwu_os ${CMAKE_THREAD_LIBS_INIT}")
gwu_pkg_config(gatewayutils-standin "The gatewayutils library over the stand-in host libraries" ""
  "-lgatewayutils -lgatewayutils_host -lgatewayutils_popup -lgwu_firmware -lgwu_os ${CMAKE_THREAD_LIBS_INIT}")
gwu_pkg_config(gatewayutils-connections
  "The stand-in host's connections to the emulated gateway, in process or over TCP"
  "gatewayutils-standin = ${PROJECT_VERSION}"
  "-lgatewayutils_connections -lgwu_emulator_server -lgwu_emulator_serving -lgwu_emulator_trace -lgwu_emulator_model -lgwu_emulator_scenario -lgwu_wire $<$<PLATFORM_ID:Windows>:-lws2_32>")
gwu_pkg_config(gatewayutils-process
  "gwemu as a test fixture, child programs, environment variables and temporary folders" ""
  "-lgwu_process")
gwu_pkg_config(gatewayutils-signing
  "Signed firmware release folders: manifests, verification and the tester's policy"
  "" "-lgwu_signing -lgwu_firmware -lgwu_os $<IF:$<PLATFORM_ID:Windows>,-lbcrypt -lcrypt32,-lcrypto>")
gwu_pkg_config(gatewayutils-history
  "A tester's update history: events, the history file's writer and reader"
  "" "-lgatewayutils_history -lgwu_os")
install(DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The sample folders the tools fall back to: the firmware release (signed by the sample key),
# the runtime folder, the scenarios, the sample key's trust folder (sample-trust/, for the
# sample release only) and the trust folder of real releases (keys/, empty: a tester puts its
# publishers' keys there). A device-load file (.bin) an emulated update left in the repository's
# firmware folder is no sample. No log folder: an installed tool writes its logs into the user's
# data folder.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/samples/firmware ${PROJECT_SOURCE_DIR}/samples/runtime
                  ${PROJECT_SOURCE_DIR}/samples/scenarios ${PROJECT_SOURCE_DIR}/samples/sample-trust
        DESTINATION ${GWU_SAMPLES_INSTALL_DIR}
        PATTERN "*.bin" EXCLUDE PATTERN "*.placing" EXCLUDE PATTERN ".gitattributes" EXCLUDE)
install(DIRECTORY DESTINATION ${GWU_SAMPLES_INSTALL_DIR}/keys)

# The copyright file and the changelog (compressed, as Debian installs it) in share/doc.
set(_gwu_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${_gwu_changelog}
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${_gwu_changelog}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(gwu_changelog ALL DEPENDS ${_gwu_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${_gwu_changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB / -G TGZ from a (release) build: everything above in one package.
set(CPACK_PACKAGE_NAME gatewayutils)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware checks and updates of a vehicle-diagnostic gateway")
set(CPACK_PACKAGE_DESCRIPTION
    "The gatewayutils library reads the releases of a gateway's code types,\n\
compares them with the releases installed on disk, updates them and repairs\n\
a lost serial number. The package holds the library, stand-ins for the\n\
host's libraries, an emulated gateway, the tools gwctl and gwemu with their\n\
manual pages and bash completions, the fleet collector gwfleet, and samples.")
set(CPACK_PACKAGE_CONTACT "gatewayutils maintainers <maintainers@users.noreply.c-seed-d07cdf2d.example>")
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A host that links gatewayutils::signing (static, over libcrypto) needs OpenSSL's development files.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssl-dev (>= 3)")
# What Debian's checks (lintian) ask of a package with programs and shared libraries: stripped
# binaries, a shlibs file and the ldconfig trigger, a copyright file and a changelog.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
include(CPack)
