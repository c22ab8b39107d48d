#pragma once
// UniKey: the typed 64-bit key of a picture's owner. Ordered by kind (signed)
// and then by id (unsigned), so it can key ordered containers.

#include <cstdint>

#include "pelbo/core/ServiceExport.h"

// Only 0 (the empty key) and 1 (a user) have a meaning in the library; other
// values belong to the client and are compared without interpretation.
enum E_KEY_TYPE : int32_t {
    KEY_TYPE_NONE = 0,
    KEY_TYPE_USER = 1,
};

class SERVICE_API UniKey {
public:
    UniKey();
    // The byte is ignored: the key is empty. Lets "key = 0" mean "no owner".
    UniKey(unsigned char ignored);
    UniKey(E_KEY_TYPE keyType, uint64_t keyValue);
    UniKey(unsigned char keyType, uint64_t keyValue);
    // Passed by value through the API and the UpdatePicture signal.
    UniKey(const UniKey& other) = default;

    void Reset();

    bool operator<(const UniKey& other) const;
    // Comparator form of operator< for ordered containers.
    bool operator()(const UniKey& a, const UniKey& b) const;
    bool operator==(const UniKey& other) const;
    bool operator!=(const UniKey& other) const;
    UniKey& operator=(const UniKey& other);
    // The byte is ignored: the key becomes empty.
    UniKey& operator=(unsigned char ignored);

    E_KEY_TYPE type;
    uint64_t value;
};
