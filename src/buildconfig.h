#ifndef BUILDCONFIG_H
#define BUILDCONFIG_H

#include <cstddef>

// Values fixed when the updater is built (see the CMake cache variables of the same names).
namespace BuildConfig {
// Defaults of the two server addresses; the environment variables of the same names win at run time.
extern const char *const versionServerUrl;
extern const char *const downloadBaseUrl;
// DER-encoded RSA public key that manifest signatures are checked against.
extern const unsigned char publicKeyDer[];
extern const std::size_t publicKeyDerSize;
} // namespace BuildConfig

#endif // BUILDCONFIG_H
