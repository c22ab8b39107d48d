#include "pelbo/core/ServiceEvent.h"

// Function-local statics: constructed once even when threads race on the
// first call, destroyed (releasing every connection) when the library goes.

event::common_signal3<int, unsigned int, IXData*>& ServiceEvent::HttpsServiceEvent()
{
    static event::common_signal3<int, unsigned int, IXData*> signal;
    return signal;
}

event::common_signal3<int, UniKey, const wchar_t*>& ServiceEvent::UpdatePicture()
{
    static event::common_signal3<int, UniKey, const wchar_t*> signal;
    return signal;
}

event::common_signal2<int, const wchar_t*>& ServiceEvent::QRCodeDonload()
{
    static event::common_signal2<int, const wchar_t*> signal;
    return signal;
}

event::common_signal3<int, const wchar_t*, IXData*>& ServiceEvent::EnterMeeting()
{
    static event::common_signal3<int, const wchar_t*, IXData*> signal;
    return signal;
}

event::common_signal2<int, IXData*>& ServiceEvent::RoomStatusGet()
{
    static event::common_signal2<int, IXData*> signal;
    return signal;
}

event::common_signal1<int>& ServiceEvent::ConnectResult()
{
    static event::common_signal1<int> signal;
    return signal;
}

event::common_signal0& ServiceEvent::DisConnect()
{
    static event::common_signal0 signal;
    return signal;
}

event::common_signal1<IXData*>& ServiceEvent::AddMaterItem()
{
    static event::common_signal1<IXData*> signal;
    return signal;
}

event::common_signal1<unsigned int>& ServiceEvent::UpdateMaterCount()
{
    static event::common_signal1<unsigned int> signal;
    return signal;
}

event::common_signal3<CStringW, CStringW, CStringW>& ServiceEvent::UpdatePelboVersion()
{
    static event::common_signal3<CStringW, CStringW, CStringW> signal;
    return signal;
}

event::common_signal1<unsigned int>& ServiceEvent::JoinMeetingSure()
{
    static event::common_signal1<unsigned int> signal;
    return signal;
}
