# The test-signing steps of the image build, run with "cmake -P" so that the
# tools' output shows only when a step fails.
#
#   -DACTION=certificates -DOPENSSL=<openssl> -DCONFIG=<testsign.cnf> -DDIR=<dir>
#       a throw-away test root (ca.key, ca.pem, ca.cer) and the code-signing
#       certificate it issues (signer.key, signer.pem) in <dir>
#   -DACTION=sign -DOSSLSIGNCODE=<osslsigncode> -DDIR=<dir> -DIN=<image>
#       -DOUT=<signed image> -DDESCRIPTION=<text>
#       signs with SHA-256 and verifies the result against the test root
#       before it replaces <signed image>

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command}\nfailed (${status}):\n${output}")
  endif()
endfunction()

if(ACTION STREQUAL "certificates")
  run(${OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072
      -out ${DIR}/ca.key)
  run(${OPENSSL} req -x509 -new -sha256 -days 3650 -config ${CONFIG} -extensions test_ca
      -subj "/CN=BootGuard Test Root (throw-away)" -key ${DIR}/ca.key -out ${DIR}/ca.pem)
  run(${OPENSSL} x509 -in ${DIR}/ca.pem -outform DER -out ${DIR}/ca.cer)
  run(${OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072
      -out ${DIR}/signer.key)
  run(${OPENSSL} req -new -sha256 -config ${CONFIG}
      -subj "/CN=BootGuard Test Signing (throw-away)" -key ${DIR}/signer.key
      -out ${DIR}/signer.csr)
  run(${OPENSSL} x509 -req -sha256 -days 825 -in ${DIR}/signer.csr -CA ${DIR}/ca.pem
      -CAkey ${DIR}/ca.key -extfile ${CONFIG} -extensions test_signer -out ${DIR}/signer.pem)
elseif(ACTION STREQUAL "sign")
  file(REMOVE ${OUT}.tmp)
  run(${OSSLSIGNCODE} sign -h sha256 -certs ${DIR}/signer.pem -ac ${DIR}/ca.pem
      -key ${DIR}/signer.key -n "${DESCRIPTION}" -in ${IN} -out ${OUT}.tmp)
  run(${OSSLSIGNCODE} verify -CAfile ${DIR}/ca.pem -in ${OUT}.tmp)
  file(RENAME ${OUT}.tmp ${OUT})
else()
  message(FATAL_ERROR "testsign.cmake: unknown ACTION '${ACTION}'")
endif()
