#pragma once

// wlan0 as provd drives it: WPS on the supplicant, and whether the station is associated.
class Station {
  public:
    virtual ~Station() = default;
    // Starts a WPS session (a running one starts over).
    virtual void StartWps() = 0;
    virtual bool Associated() = 0;
};

// Over ubus: "wpa_supplicant.wlan0" and "iwinfo".
class UbusStation : public Station {
  public:
    void StartWps() override;
    // True when "iwinfo" "info" of wlan0 names an ssid and an encryption.
    bool Associated() override;
};
