// Errors. Inside the portable core a failure is a value (Result<T>); where the
// program's rules raise an error to the event handler, one exception type,
// AppError, carries it to the window, which shows it in the standard error box.
#pragma once
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace bv {

// Our code, the system's code (Win32 error, errno or zlib status) and a
// detail such as the name involved.
struct Error {
    int code = 0;
    uint32_t native = 0;
    std::wstring detail;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : ok_(true), value_(std::move(value)) {}
    Result(Error error) : ok_(false), error_(std::move(error)) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    T& value() { return value_; }
    const T& value() const { return value_; }
    const Error& error() const { return error_; }

private:
    bool ok_;
    T value_{};
    Error error_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : ok_(false), error_(std::move(error)) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Error& error() const { return error_; }

private:
    bool ok_ = true;
    Error error_;
};

// An error raised to the event handler that started the work. `kind` names
// the error's class (e.g. "EFCreateError"), `message` is what the user sees.
class AppError : public std::exception {
public:
    AppError(std::wstring kind, std::wstring message)
        : kind_(std::move(kind)), message_(std::move(message)) {}
    const std::wstring& kind() const { return kind_; }
    const std::wstring& message() const { return message_; }
    const char* what() const noexcept override { return "AppError"; }

private:
    std::wstring kind_;
    std::wstring message_;
};

}  // namespace bv
