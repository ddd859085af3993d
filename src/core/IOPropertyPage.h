// The base of every page of a driver instance's configuration dialog. A page edits the
// instance's configuration store directly; the dialog toolkit supplies the controls. The
// instance destroys the pages its driver made once the dialog has ended.
#pragma once
#include "core/ConfigData.h"
#include "core/IOLog.h"

class CIOPropertyPage : public TIOApi
{
public:
    CIOPropertyPage(CIOGlobals* globals, CConfigData& store) : TIOApi(globals), m_store(store) {}
    CIOPropertyPage(const CIOPropertyPage&) = delete;
    CIOPropertyPage& operator=(const CIOPropertyPage&) = delete;
    virtual ~CIOPropertyPage() = default;

    // The store outlives the page: pages live only while the dialog is shown.
    CConfigData& Store() const { return m_store; }

private:
    CConfigData& m_store;
};
