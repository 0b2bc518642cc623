"""Chart attributes from the ISO 19139 metadata of survey rasters.

The work is done by the extension module ``bathyra.metadata_parser``.
"""
