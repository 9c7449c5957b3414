# The client library as programs outside this tree use it: one static archive with everything
# the client needs from our own libraries, the headers its interface names, a pkg-config file and
# a CMake package (find_package(VeltroTerminalClient) gives VeltroTerminal::Client). One archive
# keeps our internal split into libraries out of every user's link line; static, because the
# interface is C++ classes whose layout may change with any release.
set(VELTRO_CLIENT_PARTS veltro_client veltro_ipc veltro_protocol veltro_platform)
set(VELTRO_CLIENT_INCLUDE_DIR "${CMAKE_INSTALL_INCLUDEDIR}/veltro-terminal")
set(VELTRO_CLIENT_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/VeltroTerminalClient")
# What the interface needs. A client owns the event loop its connection lives on, so Asio's
# headers are part of the interface (MessagePack's are not).
set(VELTRO_CLIENT_HEADERS
    client/TerminalHelperClient.hpp
    ipc/ClientConnection.hpp
    platform/EventLoop.hpp
    platform/FileDescriptor.hpp
    platform/StopProgram.hpp
    protocol/Bytes.hpp
    protocol/TerminalClientProtocol.hpp
    protocol/TerminalHelperProtocol.hpp
    protocol/TerminalService.hpp
    protocol/UUID.hpp)

set(objects)
foreach(part IN LISTS VELTRO_CLIENT_PARTS)
    list(APPEND objects $<TARGET_OBJECTS:${part}>)
endforeach()
add_library(veltro-terminal-client STATIC ${objects})
add_library(VeltroTerminal::Client ALIAS veltro-terminal-client)
set_target_properties(veltro-terminal-client PROPERTIES EXPORT_NAME Client)
target_compile_features(veltro-terminal-client INTERFACE cxx_std_20)
# The library's Asio code and the user's must allocate Asio's recycled handler memory the same way.
target_compile_definitions(veltro-terminal-client INTERFACE ASIO_DISABLE_STD_ALIGNED_ALLOC)
target_include_directories(veltro-terminal-client INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
    $<INSTALL_INTERFACE:${VELTRO_CLIENT_INCLUDE_DIR}>)
# The installed package finds libsystemd under a name of its own, so that it cannot collide with
# a user's own pkg_check_modules(SYSTEMD ...).
target_link_libraries(veltro-terminal-client INTERFACE
    Threads::Threads
    $<BUILD_INTERFACE:PkgConfig::SYSTEMD>
    $<INSTALL_INTERFACE:PkgConfig::VeltroTerminalClient_libsystemd>)

install(TARGETS veltro-terminal-client EXPORT VeltroTerminalClientTargets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
foreach(header IN LISTS VELTRO_CLIENT_HEADERS)
    get_filename_component(folder "${header}" DIRECTORY)
    install(FILES "${PROJECT_SOURCE_DIR}/src/${header}"
        DESTINATION "${VELTRO_CLIENT_INCLUDE_DIR}/${folder}" COMPONENT Development)
endforeach()

install(EXPORT VeltroTerminalClientTargets NAMESPACE VeltroTerminal::
    DESTINATION "${VELTRO_CLIENT_CMAKE_DIR}" COMPONENT Development)
include(CMakePackageConfigHelpers)
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/VeltroTerminalClientConfig.cmake.in"
    "${CMAKE_CURRENT_BINARY_DIR}/VeltroTerminalClientConfig.cmake"
    INSTALL_DESTINATION "${VELTRO_CLIENT_CMAKE_DIR}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/VeltroTerminalClientConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES
    "${CMAKE_CURRENT_BINARY_DIR}/VeltroTerminalClientConfig.cmake"
    "${CMAKE_CURRENT_BINARY_DIR}/VeltroTerminalClientConfigVersion.cmake"
    DESTINATION "${VELTRO_CLIENT_CMAKE_DIR}" COMPONENT Development)

# The file names its folders from ${prefix}, and the prefix line is written at install time, so
# it stays right under whatever --prefix the install is given.
configure_file("${PROJECT_SOURCE_DIR}/cmake/veltro-terminal-client.pc.in"
    "${CMAKE_CURRENT_BINARY_DIR}/veltro-terminal-client.pc.body" @ONLY)
install(CODE "
    file(READ \"${CMAKE_CURRENT_BINARY_DIR}/veltro-terminal-client.pc.body\" body)
    set(staged \"${CMAKE_CURRENT_BINARY_DIR}/install/veltro-terminal-client.pc\")
    file(WRITE \"\${staged}\" \"prefix=\${CMAKE_INSTALL_PREFIX}\\n\${body}\")
    file(INSTALL \"\${staged}\"
        DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT Development)
