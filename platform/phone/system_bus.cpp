#include "platform/phone/system_bus.h"

#include <cstdlib>

Bus OpenSystemBus() {
  sd_bus* raw = nullptr;
  const char* address = std::getenv("MELODEX_SYSTEM_BUS_ADDRESS");
  if (!address || !*address) return Bus(sd_bus_open_system(&raw) >= 0 ? raw : nullptr);
  if (sd_bus_new(&raw) < 0) return nullptr;
  Bus bus(raw);
  if (sd_bus_set_address(raw, address) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0)
    return nullptr;
  return bus;
}
