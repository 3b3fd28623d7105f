namespace app_unit {}
