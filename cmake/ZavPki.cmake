# The local test PKI, made by the build into ${ZAV_PKI_DIR} (never committed): the local CA,
# its localhost/127.0.0.1 server certificate and a rogue CA with its own server certificate.
# Targets that read these files at run time depend on the `zav_pki` target.
set(ZAV_PKI_DIR ${CMAKE_BINARY_DIR}/pki CACHE INTERNAL "Folder of the generated test PKI")
set(_zav_pki_files
    ${ZAV_PKI_DIR}/ca.pem ${ZAV_PKI_DIR}/ca.key
    ${ZAV_PKI_DIR}/server.pem ${ZAV_PKI_DIR}/server.key
    ${ZAV_PKI_DIR}/rogue-ca.pem ${ZAV_PKI_DIR}/rogue-ca.key
    ${ZAV_PKI_DIR}/rogue-server.pem ${ZAV_PKI_DIR}/rogue-server.key)
add_custom_command(
  OUTPUT ${_zav_pki_files}
  COMMAND ${CMAKE_COMMAND} -E env OPENSSL=${ZAV_OPENSSL}
          bash ${PROJECT_SOURCE_DIR}/refservice/make-pki.sh ${ZAV_PKI_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/refservice/make-pki.sh
  COMMENT "Making the local test PKI in ${ZAV_PKI_DIR}"
  VERBATIM)
add_custom_target(zav_pki ALL DEPENDS ${_zav_pki_files})
