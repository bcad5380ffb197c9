# The service unit and the configuration folder.

configure_file(packaging/tolvek@.service.in tolvek@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tolvek@.service DESTINATION ${TOLVEK_UNIT_DIR})
# The loopback example, ready to run as tolvek@example and to copy.
install(FILES examples/tolvek.conf DESTINATION ${TOLVEK_CONFIG_DIR} RENAME example.conf)
