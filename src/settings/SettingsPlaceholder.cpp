namespace settings_unit {}
