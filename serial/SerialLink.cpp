// Placeholder bodies: being written.
#include "serial/SerialLink.h"

namespace quillet {
struct CSerialLink::Impl {};
CSerialLink::CSerialLink(IHost&) : m_impl(std::make_unique<Impl>()) {}
CSerialLink::~CSerialLink() = default;
bool CSerialLink::OpenPort(ISerialOwner*, unsigned, unsigned, char, unsigned, unsigned, std::uint32_t, std::uint32_t) { return false; }
bool CSerialLink::StartMonitor() { return false; }
bool CSerialLink::QueueWrite(const std::uint8_t*, std::size_t) { return false; }
void CSerialLink::RequestClose() {}
bool CSerialLink::IsOpen() const { return false; }
std::string CSerialLink::FormatCommError(const std::string&, const std::string&, unsigned) { return {}; }
}
