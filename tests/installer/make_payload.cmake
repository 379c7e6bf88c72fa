cmake_policy(VERSION 3.25)
# Lays out a payload for the test packages, in the form a real one has: the Java runtime's folder
# with the jvm.dll double as its VM (versioned, as a runtime's is) and a time-zone file as deep as a
# runtime's deepest (longer than the jvm.dll path), and stand-in archives (ZIP files, as JAR files
# are) for the client's class path. Version NEW or OLD: the old payload's client archive differs, and each has a
# document in docs/ that the other lacks.
#   cmake -DOUT=dir -DJVM=jvm.dll -DSTRIP=strip -DJRE=name -DVM=client|server -DVERSION=NEW|OLD -P make_payload.cmake
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY "${OUT}/${JRE}/bin/${VM}" ${OUT}/docs ${OUT}.work)
file(WRITE "${OUT}/${JRE}/lib/zi/America/Indiana/Indianapolis" "time zone data\n")
execute_process(COMMAND ${STRIP} -o "${OUT}/${JRE}/bin/${VM}/jvm.dll" ${JVM} COMMAND_ERROR_IS_FATAL ANY)
foreach(jar zephraclient.jar jrex.jar dom4j-1.4.jar log4j-1.2.8.jar commons-logging-1.0.4.jar
    commons-httpclient-2.0.2.jar md5.jar registry.jar)
  set(text "stand-in for ${jar}")
  if(jar STREQUAL "zephraclient.jar")
    string(APPEND text ", client ${VERSION}")
  endif()
  file(WRITE ${OUT}.work/stand-in.txt "${text}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT}/${jar} --format=zip stand-in.txt
    WORKING_DIRECTORY ${OUT}.work COMMAND_ERROR_IS_FATAL ANY)
endforeach()
if(VERSION STREQUAL "OLD")
  file(WRITE ${OUT}/docs/changes-0.9.9.txt "what changed in 0.9.9\n")
else()
  file(WRITE ${OUT}/docs/readme.txt "read me\n")
endif()
file(REMOVE_RECURSE ${OUT}.work)
