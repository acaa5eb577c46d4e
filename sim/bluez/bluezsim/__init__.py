"""BlueZ 5.66 stand-in with virtual BLE sensor nodes (host only)."""
