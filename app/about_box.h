// The About box's facts: the program's version and that of the ImgPort library it has bound.
#pragma once

#include <QString>

// The version in the file name of the shared library that holds `symbol` (libImgPort.so.1.0.2
// gives "1.0.2"), else the version in its SONAME (libImgPort.so.1 gives "1"); empty when neither
// names one. *path receives the library's file (symbolic links resolved), or "" if unknown.
QString LibraryFileVersion(const void* symbol, QString* path);

// The caption's version: the first three numbers of a program version ("1.0.0.5" gives "1.0.0").
QString CaptionVersion(const QString& programVersion);
