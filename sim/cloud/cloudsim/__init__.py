"""Host stand-in for the cloud service: HTTPS endpoints, control interface, MQTT broker launcher."""
