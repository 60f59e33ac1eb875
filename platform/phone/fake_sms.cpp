#include "platform/phone/fake_sms.h"

void FakeSms::failOpen(HRESULT result) {
  std::lock_guard lock(m_mutex);
  m_openResult = result;
}

void FakeSms::failSend(HRESULT result) {
  std::lock_guard lock(m_mutex);
  m_sendResult = result;
}

int FakeSms::opens() const {
  std::lock_guard lock(m_mutex);
  return m_opens;
}

int FakeSms::closes() const {
  std::lock_guard lock(m_mutex);
  return m_closes;
}

int FakeSms::openHandles() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_open.size());
}

std::vector<FakeSms::Sent> FakeSms::sent() const {
  std::lock_guard lock(m_mutex);
  return m_sent;
}

HRESULT FakeSms::open(SMS_HANDLE* handle) {
  std::lock_guard lock(m_mutex);
  ++m_opens;
  if (FAILED(m_openResult)) return m_openResult;
  *handle = reinterpret_cast<SMS_HANDLE>(m_nextHandle++);
  m_open.insert(*handle);
  return S_OK;
}

HRESULT FakeSms::send(SMS_HANDLE handle, const SmsOutgoing& message) {
  std::lock_guard lock(m_mutex);
  if (!m_open.count(handle)) return SMS_E_INVALIDDATA;
  m_sent.push_back({handle, message});
  return m_sendResult;
}

HRESULT FakeSms::close(SMS_HANDLE handle) {
  std::lock_guard lock(m_mutex);
  ++m_closes;
  return m_open.erase(handle) ? S_OK : SMS_E_INVALIDDATA;
}
