include $(sort $(wildcard $(BR2_EXTERNAL_EVWAIT_PATH)/package/*/*.mk))
