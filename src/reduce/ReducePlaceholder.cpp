namespace reduce_unit {}
