namespace engine_unit {}
