# Install layout and the two Debian packages (CPack's DEB generator):
#   zarna        the agent, zarnactl, the API metadata, default configuration,
#                systemd unit, tmpfiles entry and maintainer scripts;
#   zarna-peers  the reference attestation and key provider services and the
#                kernel emulator, which a production host does not need.
# `scripts/package` builds both from a release tree.

# Installing (and so packaging) needs only the installed targets, not every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS zarna RUNTIME DESTINATION sbin COMPONENT zarna)
install(TARGETS zarnactl RUNTIME DESTINATION bin COMPONENT zarna)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/config.xml DESTINATION /etc/talvor/cpservices/zarna COMPONENT zarna)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zarna.service DESTINATION /lib/systemd/system COMPONENT zarna)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zarna.tmpfiles DESTINATION lib/tmpfiles.d RENAME zarna.conf
        COMPONENT zarna)
install(FILES ${PROJECT_SOURCE_DIR}/docs/operations.md ${PROJECT_SOURCE_DIR}/docs/configuration.md
              ${PROJECT_SOURCE_DIR}/docs/zarnactl.md
        DESTINATION share/doc/zarna COMPONENT zarna)
install(TARGETS attestd zarnd hyperkern-emu RUNTIME DESTINATION bin COMPONENT peers)

# Every package carries its copyright and a compressed changelog.
set(ZARNA_PACKAGE_DOC_DIR ${PROJECT_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${ZARNA_PACKAGE_DOC_DIR})
string(TIMESTAMP ZARNA_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(ZARNA_PACKAGE zarna zarna-peers)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${ZARNA_PACKAGE_DOC_DIR}/${ZARNA_PACKAGE}/changelog.Debian
                 @ONLY)
endforeach()
# install(CODE) runs with DESTDIR set to the package's staging tree.
function(zarna_package_docs component package)
  install(CODE "
    set(doc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/doc/${package}\")
    file(MAKE_DIRECTORY \"\${doc}\")
    file(COPY_FILE \"${PROJECT_SOURCE_DIR}/packaging/debian/copyright\" \"\${doc}/copyright\")
    execute_process(COMMAND gzip -9n -c \"${ZARNA_PACKAGE_DOC_DIR}/${package}/changelog.Debian\"
                    OUTPUT_FILE \"\${doc}/changelog.gz\" COMMAND_ERROR_IS_FATAL ANY)
  " COMPONENT ${component})
endfunction()
zarna_package_docs(zarna zarna)
zarna_package_docs(peers zarna-peers)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarna)
set(CPACK_PACKAGE_VENDOR "Talvor")
set(CPACK_PACKAGE_CONTACT "zarna maintainers <zarna@talvor.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL zarna peers)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://talvor.example/zarna")

set(CPACK_DEBIAN_ZARNA_PACKAGE_NAME zarna)
set(CPACK_COMPONENT_ZARNA_DESCRIPTION
    "host key agent with TPM attestation\nThe agent attests the host to remote attestation services, keeps their\ntokens, and unwraps keys through key provider services for the hypervisor\nkernel and local callers. Includes zarnactl, the administrator's client.")
# nft is run for the firewall table; the agent works without it on a file backend.
set(CPACK_DEBIAN_ZARNA_PACKAGE_RECOMMENDS "nftables")
set(CPACK_DEBIAN_ZARNA_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)

set(CPACK_DEBIAN_PEERS_PACKAGE_NAME zarna-peers)
set(CPACK_DEBIAN_PEERS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_PEERS_DESCRIPTION
    "reference peers and kernel emulator for the zarna agent\nAn attestation service, a key provider service and a kernel channel\nemulator, for tests, demonstrations and development hosts.")
set(CPACK_DEBIAN_PEERS_PACKAGE_RECOMMENDS "swtpm, swtpm-tools")

include(CPack)
