// A buffer of the SMTP client from the controller's memory, freed on every path.
#pragma once

#include <cstddef>

#include "ctl.h"

class SmtpBuffer {
public:
    explicit SmtpBuffer(std::size_t size) : data_(static_cast<char*>(ctlMalloc(size))) {}
    ~SmtpBuffer() { ctlFree(data_); }
    SmtpBuffer(const SmtpBuffer&) = delete;
    SmtpBuffer& operator=(const SmtpBuffer&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    char* get() const { return data_; }

private:
    char* data_;
};
