#include "exceptions/qk_exceptions.h"

CQkBaseException::CQkBaseException() = default;

CQkBaseException::CQkBaseException(const CQkBaseException &) {}

CQkBaseException::~CQkBaseException() = default;

CQkBaseException &CQkBaseException::operator=(const CQkBaseException &)
{
    return *this;
}

char *CQkBaseException::operator*()
{
    return GetText();
}

CQkSystemException::~CQkSystemException() = default;

CQkSystemException &CQkSystemException::operator=(const CQkSystemException &other)
{
    CQkBaseException::operator=(other);
    m_value1 = other.m_value1;
    m_value2 = other.m_value2;
    return *this;
}

char *CQkSystemException::GetText()
{
    static char text[] = "system exception";
    return text;
}

CQkOsToCppExp &CQkOsToCppExp::operator=(const CQkOsToCppExp &other)
{
    m_value = other.m_value;
    return *this;
}
