#ifndef CRYPTEXCEPTION_H
#define CRYPTEXCEPTION_H

#include <exception>
#include <string>

// The one exception of the updater: thrown by the thin wrappers around libtomcrypt (CryptoHelper) when
// a library call fails, and caught by the worker that called them, which turns it into a verdict.
// The text is the library function's name, ": ", and the library's error text.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string text) : m_Text(std::move(text)) {}
    const char *what() const noexcept override { return m_Text.c_str(); }

private:
    std::string m_Text;
};

#endif // CRYPTEXCEPTION_H
