// Drag sources and drop targets live in this folder.
namespace dragdrop_unit {}
