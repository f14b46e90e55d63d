// Exception classes that the library exports for modules that load it. The
// service itself never constructs, throws or catches them.
#pragma once

#include <cstdint>

#define ZEM_EXPORTED __attribute__((visibility("default")))

class ZEM_EXPORTED CQkBaseException {
public:
    CQkBaseException();
    CQkBaseException(const CQkBaseException &other);
    virtual ~CQkBaseException();
    CQkBaseException &operator=(const CQkBaseException &other);
    // The text of the object's own class.
    char *operator*();
    virtual char *GetText() = 0;
};

class ZEM_EXPORTED CQkSystemException : public CQkBaseException {
public:
    CQkSystemException(uint32_t value1 = 0, uint32_t value2 = 0) : m_value1(value1), m_value2(value2) {}
    CQkSystemException(const CQkSystemException &other) = default;
    ~CQkSystemException() override;
    CQkSystemException &operator=(const CQkSystemException &other);
    char *GetText() override;

    uint32_t m_value1;
    uint32_t m_value2;
};

class ZEM_EXPORTED CQkOsToCppExp {
public:
    explicit CQkOsToCppExp(uint32_t value = 0) : m_value(value) {}
    CQkOsToCppExp(const CQkOsToCppExp &other) = default;
    CQkOsToCppExp &operator=(const CQkOsToCppExp &other);

    uint32_t m_value;
};
