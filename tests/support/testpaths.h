#ifndef TESTPATHS_H
#define TESTPATHS_H

#include <QString>

// Where tests find their fixtures and the programs the build made.
namespace TestPaths {
inline QString dataDir() { return QStringLiteral(VT3_TEST_DATA_DIR); }
inline QString dataFile(const QString &name) { return dataDir() + QLatin1Char('/') + name; }
inline QString binDir() { return QStringLiteral(VT3_BIN_DIR); }
inline QString sourceDir() { return QStringLiteral(VT3_SOURCE_DIR); }
} // namespace TestPaths

#endif // TESTPATHS_H
