// libImgPort.so is imgport_core linked whole; its exports live in exports.cpp.
