// The installation's shared runtime library K47Global (libK47Global.so): logging, the exception
// classes every part of the library throws, fault translation for worker threads, and XML attribute
// access on configuration elements.
//
// Threading: every function here may be called from any thread at any time; WriteLog and
// WriteDebug are serialised internally and never throw.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <eh.h>
#include <msxml6.h>

#include <cstdarg>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

class CGlobalErrorHandlingEnvironment {
  public:
    // Where a line goes. The default sink writes "<date and time> <line>" to standard error.
    enum class Channel { Log, Debug };
    using Sink = std::function<void(Channel channel, std::string_view line)>;

    CGlobalErrorHandlingEnvironment();
    CGlobalErrorHandlingEnvironment(const CGlobalErrorHandlingEnvironment&) = delete;
    CGlobalErrorHandlingEnvironment& operator=(const CGlobalErrorHandlingEnvironment&) = delete;

    // printf-style; one line each (a trailing newline in the format is not doubled). Never fail.
    void WriteLog(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    void WriteDebug(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

    // The file part of a source path: the name without folders and without its extension, so that
    // "drivers/PelcoD.cpp" gives "PelcoD".
    static std::string GetFilePart(const char* path);

    // Structured-exception translator installed by each worker thread (see <eh.h> for what a
    // processor fault does on this platform).
    static void Win32Translator(unsigned int code, EXCEPTION_POINTERS* info);

    // "YYYY-MM-DD HH:MM:SS.mmm" in UTC.
    std::string GetDateAndTimeString(FILETIME time);

    // Replaces the sink (null restores the default) and returns the previous one. Debug lines are
    // written only while debug output is enabled (it is by default).
    Sink SetSink(Sink sink);
    void EnableDebug(bool enable);

  private:
    void Emit(Channel channel, const char* format, va_list args) noexcept;
};

extern CGlobalErrorHandlingEnvironment g_ErrorHandling;

// Polymorphic base of the exceptions. The first two virtual operations are, in this order, the
// description (8-bit text naming the error and where it was raised) and the error as an HRESULT.
class CExceptionBase {
  public:
    virtual const char* GetDescription() const noexcept = 0;
    virtual HRESULT GetHresult() const noexcept = 0;
    virtual ~CExceptionBase();

    const char* GetFile() const noexcept { return file_; }
    int GetLine() const noexcept { return line_; }

  protected:
    CExceptionBase(const char* file, int line) noexcept : file_(file), line_(line) {}
    CExceptionBase(const CExceptionBase&) = default;
    CExceptionBase& operator=(const CExceptionBase&) = default;

  private:
    const char* file_;
    int line_;
};

// A failed COM call or a rejected argument.
class CHresultError : public CExceptionBase {
  public:
    CHresultError(const char* file, int line, HRESULT hr);
    CHresultError(const char* file, int line, HRESULT hr, std::string_view detail);
    const char* GetDescription() const noexcept override { return description_.c_str(); }
    HRESULT GetHresult() const noexcept override { return hr_; }

  private:
    HRESULT hr_;
    std::string description_;
};

// A failed Windows call: the first form takes the thread's last error. The HRESULT is
// HRESULT_FROM_WIN32(error), or E_FAIL when the error is 0 (a failure must never read as success).
class CWin32Error : public CExceptionBase {
  public:
    CWin32Error(const char* file, int line);
    CWin32Error(const char* file, int line, DWORD error);
    const char* GetDescription() const noexcept override { return description_.c_str(); }
    HRESULT GetHresult() const noexcept override { return hr_; }
    DWORD GetError() const noexcept { return error_; }

  protected:
    CWin32Error(const char* file, int line, DWORD error, const char* kind);

  private:
    DWORD error_;
    HRESULT hr_;
    std::string description_;
};

// The system's text for a Win32 error code, without the trailing line break, or "unknown error".
std::string K47ErrorText(DWORD code);

// A failure its raiser has already logged: a line that stays stuck is reported once when it
// sticks and once when it flows again, not once per frame. The handlers return its HRESULT
// without a line of their own.
class CReportedError : public CWin32Error {
  public:
    CReportedError(const char* file, int line, DWORD error) : CWin32Error(file, line, error) {}
};

// A failed socket call: takes WSAGetLastError().
class CWSAError : public CWin32Error {
  public:
    CWSAError(const char* file, int line);
};

// Attribute access on an XML element. The getters without a default throw CHresultError when the
// attribute is absent (HRESULT_FROM_WIN32(ERROR_NOT_FOUND)); every getter throws when the
// attribute is present but not of the requested type (HRESULT_FROM_WIN32(ERROR_INVALID_DATA)).
// Integers are decimal, with an optional sign and surrounding blanks, and must fit the type.
class CXMLAttribute {
  public:
    explicit CXMLAttribute(IXMLDOMElement* element);
    CXMLAttribute(const CXMLAttribute& other);
    CXMLAttribute& operator=(const CXMLAttribute&) = delete;
    ~CXMLAttribute();

    operator IXMLDOMElement*() const noexcept { return element_; }

    int GetXMLAttributeInt(const char* name) const;
    int GetXMLAttributeInt(const char* name, int defaultValue) const;
    LONGLONG GetXMLAttributeLongLong(const char* name, LONGLONG defaultValue) const;
    std::string GetXMLAttributeString(const char* name) const;
    std::string GetXMLAttributeString(const char* name, const char* defaultValue) const;
    std::u16string GetXMLAttributeStringW(const char* name) const;

    // True and the value when the attribute is present.
    bool TryGetText(const char* name, std::string* value) const;

  private:
    IXMLDOMElement* element_;
};

// The two handlers every operation of the library ends with:
//  1. CExceptionBase: WriteLog("%s - handler %s line %d\n", description, file part, line);
//     the exception's HRESULT is returned.
//  2. anything else: WriteLog("%s: thread %d Unhandled Exception - handler %s line %d\n",
//     date and time of now, current thread id, file part, unhandledLine); E_FAIL is returned.
// `file` is the handler's source path (__FILE__); `line` and `unhandledLine` are the handlers'
// fixed line numbers.
void K47LogHandled(const CExceptionBase& e, const char* file, int line) noexcept;
void K47LogUnhandled(const char* file, int line) noexcept;
void K47LogStdException(const std::exception& e, const char* file, int line) noexcept;

template <class Body>
HRESULT K47Guard(const char* file, int line, int unhandledLine, Body&& body) noexcept {
    try {
        return body();
    } catch (const CExceptionBase& e) {
        K47LogHandled(e, file, line);
        return e.GetHresult();
    } catch (...) {
        K47LogUnhandled(file, unhandledLine);
        return E_FAIL;
    }
}
