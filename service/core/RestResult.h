#pragma once
// CRestResult: the common part of a REST result. The response is parsed
// once; the code is the response's "code" member ("0" when it is empty or
// missing, read with the wide atoi rule), or -1 when the response is not a
// JSON object or the exchange did not complete.

#include <string>

#include <json/json.h>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/XData.h"

class CRestResult {
public:
    CRestResult(const std::wstring& response, int completed);

    bool Parsed() const { return m_parsed; }
    int Code() const { return m_code; }
    const Json::Value& Root() const { return m_root; }
    // A top-level member of the response as text (empty when missing).
    CStringW Text(const char* member) const;

    // Reports the result with HttpsServiceEvent and then drops the record
    // (a receiver that keeps it has added its own reference).
    void Emit(unsigned kind, XDataPtr<IXData> record) const;

private:
    Json::Value m_root;
    bool m_parsed = false;
    int m_code = -1;
};
