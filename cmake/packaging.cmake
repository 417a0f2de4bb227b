# Debian packages of the install components, made by `cpack -G DEB` in a
# build configured with CMAKE_INSTALL_PREFIX=/usr (see scripts/package):
#
#   runtime      -> libtrklib1     the shared library
#   development  -> libtrklib-dev  headers, .so link, CMake package, trklib.pc,
#                                  the API reference (with TRKLIB_API_DOCS)
#   tools        -> trklib-tools   trackdemo, radarsim, trackreplay, plot-tracks,
#                                  trackd with its systemd unit and example,
#                                  sited and the site view it serves
#                                  (/usr/share/trklib/web), their manual
#                                  pages and trackd.conf(5)
#   python       -> python3-trklib the Python module trklib (when it is built)
#
# Each package carries /usr/share/doc/<package>/copyright and
# changelog.Debian.gz, and /usr/share/lintian/overrides/<package>. Those are
# installed only by component installs (EXCLUDE_FROM_ALL), so a plain
# `cmake --install` leaves them out.

set(TRKLIB_DEBIAN_REVISION 1)
set(TRKLIB_DEBIAN_VERSION ${PROJECT_VERSION}-${TRKLIB_DEBIAN_REVISION})
set(debian_dir ${PROJECT_SOURCE_DIR}/cmake/debian)

# Directories the install creates, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The changelog's latest entry must name the version being packaged.
file(STRINGS ${debian_dir}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^trklib \\(${TRKLIB_DEBIAN_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog: the latest entry is not version "
                        "${TRKLIB_DEBIAN_VERSION}: ${changelog_head}")
endif()
set(changelog_gz ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${debian_dir}/changelog)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
# -n: no name or time stamp inside, so the file is the same on every build.
execute_process(COMMAND gzip -9nc INPUT_FILE ${debian_dir}/changelog OUTPUT_FILE ${changelog_gz}
    RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "cannot compress ${debian_dir}/changelog with gzip")
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtrklib1)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtrklib-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME trklib-tools)
foreach(component IN ITEMS runtime development tools)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    install(FILES ${debian_dir}/copyright ${changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${debian_dir}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The shared library's package registers it through dpkg's ldconfig trigger
# rather than maintainer scripts, and tells dpkg-shlibdeps of client packages
# which package provides libtrklib.so.1.
set(shlibs ${PROJECT_BINARY_DIR}/debian/shlibs)
file(WRITE ${shlibs} "libtrklib 1 libtrklib1 (>= ${PROJECT_VERSION})\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trklib)
set(CPACK_PACKAGE_VENDOR "The trklib developers")
set(CPACK_PACKAGE_CONTACT "trklib developers <trklib@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack's own placeholder: with it, CPackDeb does not put one summary in
# front of every package's own synopsis below.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TRKLIB_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE trklib)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Control files other than scripts get mode 0644.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debian_dir}/triggers ${shlibs})
# No dpkg-shlibdeps run by CPack here: with it CPack would add postinst and
# postrm scripts calling ldconfig, which the trigger replaces. The library's
# own dependencies are found by the project config file below instead.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "target tracking library for a 3D surveillance radar
trklib receives the measurement packets of a three-dimensional surveillance
radar as UDP datagrams, finds the amplitude maxima of each packet, removes
harmonics of strong reflectors and tracks numbered targets from packet to
packet, reporting their elevation, azimuth, distance and velocity.

This package contains the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libtrklib1 (= ${TRKLIB_DEBIAN_VERSION}), qtbase5-dev")
# The API reference's pages link Debian's jQuery (docs/api).
if(TRKLIB_API_DOCS_DEBIAN_DEPENDS)
    string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", ${TRKLIB_API_DOCS_DEBIAN_DEPENDS}")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "target tracking library for a 3D radar - development files
trklib receives the measurement packets of a three-dimensional surveillance
radar as UDP datagrams and tracks numbered targets from packet to packet.

This package contains what programs using trklib are built with: the
headers, the CMake package (find_package(trklib)) and the pkg-config file
trklib.pc.")
if(TRKLIB_API_DOCS_DEBIAN_DEPENDS)
    string(APPEND CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "

The API reference of the headers is in /usr/share/doc/libtrklib-dev/html.")
endif()

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# plot-tracks draws with gnuplot; any of its variants will do. The events
# hook example subscribes with mosquitto_sub and calls webhooks with curl.
# sited's zones are armed by the wall clock of the site's time zone, from
# the tz database.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libtrklib1 (= ${TRKLIB_DEBIAN_VERSION}), gnuplot-nox | gnuplot, mosquitto-clients, curl, tzdata")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "radar simulator, capture replay and demo for trklib
Tools around trklib, a target tracking library for a three-dimensional
surveillance radar:
 - radarsim simulates a traffic scene and sends the radar's packets over
   UDP or writes them to a pcap capture,
 - trackreplay tracks the packets of a pcap capture offline and writes the
   targets as CSV,
 - trackdemo is a console client of the library,
 - plot-tracks draws the tracks of a trackreplay CSV as a PNG picture
   with gnuplot,
 - trackd tracks the radars of a site and publishes their tracks and
   status over MQTT (systemd unit trackd.service; example configurations
   of trackd and of the site's broker are in
   /usr/share/doc/trklib-tools/examples),
 - sited fuses the tracks of every radar of a site into one picture of
   its objects, live over MQTT (systemd unit sited.service) or offline
   from a capture, records its history and serves it and the live site
   view (/usr/share/trklib/web) over HTTP or HTTPS, behind logins.
The table of the mounting options the tools share is in /usr/share/trklib.")
# dpkg-shlibdeps finds libtrklib.so.1 of this build for the tools that link
# it; the dependency on its package is the exact one above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)

# python3-trklib: the Python module, for the python3 it was built with. It
# holds the library's code itself (no libtrklib1 needed); dpkg-shlibdeps
# adds Qt, libpcap and the C++ runtime.
if(TARGET trklib_python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-trklib)
    install(FILES ${debian_dir}/copyright ${changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-trklib
        COMPONENT python EXCLUDE_FROM_ALL)
    install(FILES ${debian_dir}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME python3-trklib
        COMPONENT python EXCLUDE_FROM_ALL)
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "${TRKLIB_PYTHON_DEBIAN_DEPENDS}, python3-numpy, python3-scipy")
    # Only python3 -m trklib.score --plot draws.
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-matplotlib)
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python bindings and tracking metrics for trklib
The Python module trklib runs the target tracking library for a
three-dimensional surveillance radar from Python: it tracks packets with
the library's engine and gives the targets as NumPy arrays, reads the radar
packets of pcap and pcapng captures, receives them live over UDP and places
targets on the ground.

Its part trklib.metrics scores tracks against ground truth (GOSPA, OSPA,
identity switches and fragmentations); python3 -m trklib.score does so for
the CSV files of trackreplay and radarsim, and for a site's fused pictures
(trklib.sitescore); python3 -m trklib.events replays a site's pictures
through its zones' rules and prints the events they raise.")
endif()

# Read by cpack: the Depends of libtrklib1 from dpkg-shlibdeps on the built
# library.
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake.in
    ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake.gen @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
    INPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake.gen)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)

include(CPack)
