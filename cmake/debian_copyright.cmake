# Makes the packages' copyright file, in Debian's machine-readable format, from
# LICENSE, so that the two say the same:
#
#   cmake -DLICENSE=<LICENSE> -DOUTPUT=<copyright> -DUPSTREAM_NAME=<name>
#         -DCONTACT=<name and address> -P debian_copyright.cmake
cmake_minimum_required(VERSION 3.25)

file(READ "${LICENSE}" text)
if(NOT text MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "${LICENSE}: not the MIT licence under one copyright line")
endif()
set(holders "${CMAKE_MATCH_1}")
set(terms "${CMAKE_MATCH_2}")
# In the format a licence's text is indented by a space, an empty line written " .".
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")

# Debian's name for this MIT licence is Expat: "MIT" names several licences.
file(WRITE "${OUTPUT}" "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${UPSTREAM_NAME}
Upstream-Contact: ${CONTACT}

Files: *
Copyright: ${holders}
Comment: The MIT licence, as in the file LICENSE of the sources.
License: Expat
 ${terms}
")
