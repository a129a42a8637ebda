# The server fuzz target stands on the server engine alone.
set_property(TARGET ${target} PROPERTY LINK_LIBRARIES zem4_server_engine)
