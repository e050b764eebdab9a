#include "CZuError.h"

#include <utility>

CZuError::CZuError() : m_code(0) {}
CZuError::CZuError(int code, std::string text) : m_code(code), m_text(std::move(text)) {}
CZuError::CZuError(const CZuError&) = default;
CZuError::CZuError(CZuError&&) noexcept = default;
CZuError& CZuError::operator=(const CZuError&) = default;
CZuError& CZuError::operator=(CZuError&&) noexcept = default;
CZuError::~CZuError() = default;

std::string CZuError::AsString() const
{
    if (!m_text.empty())
        return m_text;
    return m_code == 0 ? "success" : "error " + std::to_string(m_code);
}
