# Takes away what the last install from this build directory put in place, under DESTDIR as the
# install was: the files listed in install_manifest.txt, then the directories listed in
# install_directories.txt that the install created, where they are left empty.
file(STRINGS install_manifest.txt files)
file(STRINGS install_directories.txt directories)
foreach(file IN LISTS files)
  file(REMOVE "$ENV{DESTDIR}${file}")
endforeach()
foreach(directory IN LISTS directories)
  file(GLOB left LIST_DIRECTORIES true "$ENV{DESTDIR}${directory}/*" "$ENV{DESTDIR}${directory}/.*")
  if(NOT left)
    file(REMOVE_RECURSE "$ENV{DESTDIR}${directory}")
  endif()
endforeach()
