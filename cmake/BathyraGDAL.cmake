# GDAL, an optional dependency of the footprint tracer (src/ext/bag/) and
# of the survey catalogue (src/ext/catalog/): found once here, for both.
#
# Sets BATHYRA_GDAL_TARGET to the imported target to link (empty when GDAL
# is not found or BATHYRA_WITH_GDAL is OFF) and BATHYRA_GDAL_SUMMARY to the
# line of the configuration summary.  The places tried, in order: GDAL's
# own package file, CMake's FindGDAL (gdal-config), pkg-config.
option(BATHYRA_WITH_GDAL
       "Build the parts that need GDAL (footprints, the catalogue) when it is found"
       ON)
set(BATHYRA_GDAL_TARGET "")
if(BATHYRA_WITH_GDAL)
  find_package(GDAL CONFIG QUIET)
  if(NOT TARGET GDAL::GDAL)
    find_package(GDAL MODULE QUIET)
  endif()
  if(TARGET GDAL::GDAL)
    set(BATHYRA_GDAL_TARGET GDAL::GDAL)
    set(BATHYRA_GDAL_SUMMARY "${GDAL_VERSION}")
  else()
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(BATHYRA_PC_GDAL QUIET IMPORTED_TARGET GLOBAL gdal)
    endif()
    if(BATHYRA_PC_GDAL_FOUND)
      set(BATHYRA_GDAL_TARGET PkgConfig::BATHYRA_PC_GDAL)
      set(BATHYRA_GDAL_SUMMARY "${BATHYRA_PC_GDAL_VERSION}")
    endif()
  endif()
  if(NOT BATHYRA_GDAL_TARGET)
    set(BATHYRA_GDAL_SUMMARY "not built: no GDAL (apt-get install libgdal-dev)")
  endif()
else()
  set(BATHYRA_GDAL_SUMMARY "not built: BATHYRA_WITH_GDAL is OFF")
endif()
