#pragma once
// Base of the system's exception classes: a message text and a class name.

#include <QString>

#include <exception>

class Exception : public std::exception
{
public:
    explicit Exception(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}

    const QString& Message() const { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }
    virtual const char* ClassName() const { return "Exception"; }

private:
    QString message_;
    QByteArray utf8_;
};

// Declares a system exception class with its own name.
#define TARVO_DECLARE_EXCEPTION(Name, Base)                             \
    class Name : public Base                                            \
    {                                                                   \
    public:                                                             \
        using Base::Base;                                               \
        const char* ClassName() const override { return #Name; }       \
    }
