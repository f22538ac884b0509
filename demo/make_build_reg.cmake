# Writes the demo's rules that depend on the built samples: the Authenticode
# hash of dropper.sys (image-hash) and the debug-record GUID of tracer.sys
# (pdb-guid), each as elamctl computes and formats it.
#
#   cmake -DELAMCTL=... -DOUT=... -DDROPPER=... -DTRACER=... -P make_build_reg.cmake

function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${err}")
  endif()
  string(STRIP "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# REG_MULTI_SZ data of one ASCII string as the registry editor writes it.
function(multi_sz out text)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\1,00," hex "${hex}")
  set(${out} "hex(7):${hex}00,00,00,00" PARENT_SCOPE)
endfunction()

run(facts ${ELAMCTL} facts --json ${DROPPER} ${TRACER})
string(JSON hash GET "${facts}" 0 authenticode_sha256)
string(JSON guid GET "${facts}" 1 pdb_guid)
run(hash_rule ${ELAMCTL} rule image-hash ${hash} --label dropper)
run(guid_rule ${ELAMCTL} rule pdb-guid ${guid} --label tracer)
multi_sz(hash_data "${hash_rule}")
multi_sz(guid_data "${guid_rule}")

set(key "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\BootGuardSP\\Parameters")
file(WRITE ${OUT}.tmp
"Windows Registry Editor Version 5.00

; Written at build time by elamctl from the built samples.
[${key}]
; image-hash: the Authenticode SHA-256 of dropper.sys
; ${hash_rule}
\"DrvBlockType5\"=${hash_data}
; pdb-guid: the debug-record GUID of tracer.sys
; ${guid_rule}
\"DrvBlockType3\"=${guid_data}
")
file(RENAME ${OUT}.tmp ${OUT})
