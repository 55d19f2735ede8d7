# The TLS material of the HTTPS listener: a CA certificate, the server certificate it issued
# for DRAVIK_SERVER_HOST and the server's enciphered key, made in the build tree by
# dravik_tls_tool (tools/TlsMaterialTool.cpp) and embedded by the binaries that need it.
#
# New material is generated when the tool or DRAVIK_SERVER_HOST changes. With
# DRAVIK_TLS_MATERIAL_DIR set, the three files of that folder (SSL_CertCA.pem,
# SSL_Certificate.pem, SSL_PrivateKey.pem) are taken instead, for example those of an earlier
# build, so that users keep trusting the same CA. Either way the build fails unless the key
# opens with the pass phrase built from the certificates and the CA verifies the server
# certificate for the host.
#
# A binary that embeds the material lists it in its own dravik_add_resources call and waits
# for it:
#   dravik_add_resources(<target> ${DRAVIK_TLS_RESOURCES} <more NAME file pairs>)
#   add_dependencies(<target> dravik_tls_material)
# DRAVIK_TLS_CA_FILE is the CA certificate for tests and for users to trust; the CA's key is
# never written anywhere.
include_guard(GLOBAL)

set(DRAVIK_TLS_MATERIAL_DIR "" CACHE PATH
    "A folder whose SSL_CertCA.pem, SSL_Certificate.pem and SSL_PrivateKey.pem are embedded instead of new material")

set(_dravik_tls_folder "${CMAKE_BINARY_DIR}/generated/tls")
file(MAKE_DIRECTORY "${_dravik_tls_folder}")

set(DRAVIK_TLS_CA_FILE "${_dravik_tls_folder}/SSL_CertCA.pem")
set(DRAVIK_TLS_CERTIFICATE_FILE "${_dravik_tls_folder}/SSL_Certificate.pem")
set(DRAVIK_TLS_PRIVATE_KEY_FILE "${_dravik_tls_folder}/SSL_PrivateKey.pem")
set(DRAVIK_TLS_RESOURCES
  SSL_CertCA "${DRAVIK_TLS_CA_FILE}"
  SSL_Certificate "${DRAVIK_TLS_CERTIFICATE_FILE}"
  SSL_PrivateKey "${DRAVIK_TLS_PRIVATE_KEY_FILE}")
set(_dravik_tls_outputs
  "${DRAVIK_TLS_CA_FILE}" "${DRAVIK_TLS_CERTIFICATE_FILE}" "${DRAVIK_TLS_PRIVATE_KEY_FILE}")

# The host goes into a file that changes only when the host does, so that every generator
# (not only Ninja, which notices a changed command line) makes the material anew.
set(_dravik_tls_host_file "${CMAKE_BINARY_DIR}/generated/tls-host.txt")
file(CONFIGURE OUTPUT "${_dravik_tls_host_file}" CONTENT "${DRAVIK_SERVER_HOST}\n")

if(DRAVIK_TLS_MATERIAL_DIR)
  cmake_path(ABSOLUTE_PATH DRAVIK_TLS_MATERIAL_DIR NORMALIZE OUTPUT_VARIABLE _dravik_tls_source)
  file(REAL_PATH "${_dravik_tls_source}" _dravik_tls_source_real)
  file(REAL_PATH "${_dravik_tls_folder}" _dravik_tls_folder_real)
  if(_dravik_tls_source_real STREQUAL _dravik_tls_folder_real)
    message(FATAL_ERROR "DRAVIK_TLS_MATERIAL_DIR is this build's own output folder "
                        "${_dravik_tls_folder}: copy the material elsewhere and name that folder")
  endif()
  set(_dravik_tls_inputs)
  foreach(_dravik_tls_name IN ITEMS SSL_CertCA SSL_Certificate SSL_PrivateKey)
    set(_dravik_tls_input "${_dravik_tls_source}/${_dravik_tls_name}.pem")
    if(NOT EXISTS "${_dravik_tls_input}" OR IS_DIRECTORY "${_dravik_tls_input}")
      message(FATAL_ERROR "DRAVIK_TLS_MATERIAL_DIR: no file ${_dravik_tls_input}")
    endif()
    list(APPEND _dravik_tls_inputs "${_dravik_tls_input}")
  endforeach()
  add_custom_command(
    OUTPUT ${_dravik_tls_outputs}
    COMMAND dravik_tls_tool import "${_dravik_tls_source}" "${_dravik_tls_folder}"
            "${DRAVIK_SERVER_HOST}"
    DEPENDS dravik_tls_tool "${_dravik_tls_host_file}" ${_dravik_tls_inputs}
    COMMENT "Checking the TLS material of ${_dravik_tls_source} for ${DRAVIK_SERVER_HOST}"
    VERBATIM)
else()
  add_custom_command(
    OUTPUT ${_dravik_tls_outputs}
    COMMAND dravik_tls_tool generate "${_dravik_tls_folder}" "${DRAVIK_SERVER_HOST}"
    DEPENDS dravik_tls_tool "${_dravik_tls_host_file}"
    COMMENT "Generating the TLS material for ${DRAVIK_SERVER_HOST}"
    VERBATIM)
endif()
add_custom_target(dravik_tls_material DEPENDS ${_dravik_tls_outputs})
