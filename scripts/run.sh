#!/usr/bin/env bash
# Installs what is missing, builds, and starts the application: thermohygro
# over the computer's Bluetooth radio where BlueZ offers a powered adapter,
# otherwise the window over the simulated meter (thermohygro-demo). Its log
# goes to standard output, e.g. scripts/run.sh | tee log.txt
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
scripts/build.sh build >&2

# The real radio where BlueZ offers a powered adapter, the simulated meter otherwise.
if /usr/bin/python3 - 2>/dev/null <<'EOF'
import sys
import dbus
bluez = dbus.Interface(dbus.SystemBus().get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager")
adapters = [interfaces["org.bluez.Adapter1"] for interfaces in bluez.GetManagedObjects().values()
            if "org.bluez.Adapter1" in interfaces]
sys.exit(0 if any(adapter.get("Powered") for adapter in adapters) else 1)
EOF
then
    exec build/src/apps/thermohygro "$@"
fi
echo "BlueZ offers no powered Bluetooth adapter: starting thermohygro-demo, the window over a simulated meter." >&2
exec build/src/apps/thermohygro-demo "$@"
