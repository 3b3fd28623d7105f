// Exception classes shared by every layer. Every failure is an exception carrying a
// message in UTF-8, ready to be shown to the user as it stands.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

// A graphic that cannot be read or made (corrupt file, unsupported variant, bad format).
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// An operation a graphic does not support (resizing a JPEG picture, editing an icon).
class EInvalidGraphicOperation : public Exception {
public:
    using Exception::Exception;
};

// Assigning a graphic of one class to another that cannot take it.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A value outside its range.
class ERangeError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be opened, read or written.
class EFileError : public Exception {
public:
    using Exception::Exception;
};

// A file that could not be written; reason() is the system's own text for the cause
// (e.g. "No space left on device"), for callers that word the message themselves.
class EFileWriteError : public EFileError {
public:
    EFileWriteError(const std::string& message, std::string reason)
        : EFileError(message), reason_(std::move(reason)) {}
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

// A picture too large for the program's limits; the message names its size and the limit.
class EPictureTooLarge : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};
