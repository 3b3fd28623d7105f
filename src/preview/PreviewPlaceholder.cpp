// The print preview component lives in this folder.
namespace preview_unit {}
