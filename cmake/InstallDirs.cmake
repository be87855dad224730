# Install layout. On Debian the library goes to lib/<multiarch> whatever the
# prefix: that is where the packages put it, where ld.so and pkg-config look
# under /usr/local too, and an install by hand then matches the packages.
# GNUInstallDirs only does so for /usr; an explicit CMAKE_INSTALL_LIBDIR wins.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version AND NOT CMAKE_CROSSCOMPILING)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
