// Anchor of the qo_devkit archive; the generators live in their own files beside it.
namespace qo::devkit {}
