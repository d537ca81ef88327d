# SPDX-License-Identifier: MIT
# Makes the folders the Windows tests need and cannot make under Wine: Unix
# symbolic links (one to a folder is a reparse point there, one to a file is
# the file itself) and names that differ only by case. Made anew before every
# run, as a run may leave them changed. Usage: cmake -DDIR=... -P make_linked_tree.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/rel/a ${DIR}/other ${DIR}/named/pkg ${DIR}/named/shared
     ${DIR}/walked/real ${DIR}/walked/other ${DIR}/cases)
file(WRITE ${DIR}/rel/a/update.txt "x={\nfile_path=x.bin\nmd5=900150983cd24fb0d6963f7d28e17f72\n}\n")
file(WRITE ${DIR}/rel/a/x.bin "abc")
file(WRITE ${DIR}/other/update.txt "x={\nfile_path=x.bin\n}\n")
file(CREATE_LINK ../other ${DIR}/rel/linked SYMBOLIC)
file(WRITE ${DIR}/named/shared/update.txt "")
file(CREATE_LINK ../shared/update.txt ${DIR}/named/pkg/update.txt SYMBOLIC)
file(WRITE ${DIR}/walked/real/update.txt "")
file(CREATE_LINK ../real/update.txt ${DIR}/walked/other/update.txt SYMBOLIC)
foreach(name update.txt UPDATE.TXT a.bin A.BIN)
  file(WRITE ${DIR}/cases/${name} "")
endforeach()
