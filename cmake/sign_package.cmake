# Run by CPack on a Windows package's files once they are staged and
# stripped (a signature must be the last change to a program): each program
# is signed by tools/sign-exe when a certificate is given.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe")
execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../tools/sign-exe" ${programs} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "signing ${programs} failed")
endif()
