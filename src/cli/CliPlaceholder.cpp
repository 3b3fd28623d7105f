namespace cli_unit {}
