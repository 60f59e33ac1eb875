// The system D-Bus bus as the phone backends reach it, with owning handles
// for sd-bus objects.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&m_error); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &m_error; }

 private:
  sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

// The bus at $MELODEX_SYSTEM_BUS_ADDRESS, else the system bus; null when
// neither can be reached.
Bus OpenSystemBus();
