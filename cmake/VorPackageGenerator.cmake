# Read by cpack for each generator: the Debian packages leave out the tools component.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL runtime dev)
endif()
