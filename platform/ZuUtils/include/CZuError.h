// Error object of the agent's messaging calls.
#pragma once

#include <string>

#define ZUUTILS_API __attribute__((visibility("default")))

class ZUUTILS_API CZuError {
public:
    CZuError();  // success
    CZuError(int code, std::string text);
    CZuError(const CZuError&);
    CZuError(CZuError&&) noexcept;
    CZuError& operator=(const CZuError&);
    CZuError& operator=(CZuError&&) noexcept;
    ~CZuError();

    // True exactly when the code is negative.
    bool IsError() const { return m_code < 0; }
    int GetCode() const { return m_code; }
    // One line describing the error ("success" for code 0).
    std::string AsString() const;

private:
    int m_code;  // first member: 0 success, negative an error
    std::string m_text;
};
