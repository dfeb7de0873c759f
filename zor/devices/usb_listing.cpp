#include <zor/strings.h>
#include <zor/usblist.h>

#include "zor/devices/usbconfig.h"
#include "zor/platform/usb.h"
#include "zor/support/support.h"

namespace zor {

UsbInstrumentList listUsbInstruments(bool dump) {
  UsbInstrumentList out;
  try {
    CIni ini;
    ini.UseSystemFile();
    std::vector<UsbId> ids =
        parseUsbIdList(ini.GetProfileStringA(IDS_SECTION, IDS_USB_DEVICES, ""), &out.ignored);
    out.anyListed = !ids.empty();
    if (!out.anyListed) return out;
    setUsbDeviceIds(ids);
    for (const UsbDeviceInfo& d : listUsbDevices(true)) {
      UsbInstrument i;
      i.path = d.path;
      i.node = d.node;
      i.vendor = d.id.vendor;
      i.product = d.id.product;
      i.state = d.state;
      if (dump) i.configLines = usbConfigLines(!d.config.empty(), d.config.data(), d.config.size());
      out.present.push_back(std::move(i));
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return out;
}

}  // namespace zor
