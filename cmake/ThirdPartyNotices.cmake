# cmake -DPACKAGES=a;b -DDOC_ROOT=/usr/share/doc -DOUTPUT=file -P ThirdPartyNotices.cmake
# The licence notices shown by the about sheet: the copyright file of each Debian package the
# program links, once per distinct text (the libraries of one source package share theirs).
set(notices "Velmorine uses the following components. Their licences follow.\n")
set(seen)
foreach(package ${PACKAGES})
  set(copyright "${DOC_ROOT}/${package}/copyright")
  if(NOT EXISTS "${copyright}")
    continue()
  endif()
  file(READ "${copyright}" text)
  string(SHA256 digest "${text}")
  list(FIND seen "${digest}" index)
  if(NOT index EQUAL -1)
    continue()
  endif()
  list(APPEND seen "${digest}")
  string(APPEND notices "\n==============================================================\n"
    "${package}\n==============================================================\n\n${text}")
endforeach()
file(WRITE "${OUTPUT}.new" "${notices}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
