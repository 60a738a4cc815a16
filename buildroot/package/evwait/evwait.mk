################################################################################
#
# evwait
#
################################################################################

# project(VERSION) in CMakeLists.txt: the tree builds the checkout it is in.
EVWAIT_VERSION = 1.1.0
EVWAIT_SITE = $(BR2_EXTERNAL_EVWAIT_PATH)/..
EVWAIT_SITE_METHOD = local
EVWAIT_LICENSE = MIT
EVWAIT_LICENSE_FILES = LICENSE
# Buildroot copies the checkout with rsync: a developer's build folders
# (build/, build-*/) stay out of the copy.
EVWAIT_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = \
	--exclude='/build' --exclude='/build-*'

# cmake-package already passes -DBUILD_TESTING=OFF: no tests are built or
# installed. The start script and the unit come from the init hooks below,
# for the init system the configuration chose, not from CMake's list.
ifeq ($(BR2_PACKAGE_EVWAIT_RECOVERY),y)
EVWAIT_CONF_OPTS += -DEVWAIT_INSTALL_RECOVERY=ON -DEVWAIT_RECOVERY_INIT=

# The action as the configuration holds it: a double-quoted string with " and
# \ escaped, which sh reads back as typed once $ and ` are escaped too.
EVWAIT_RECOVERY_ACTION = \
	$(subst `,\`,$(subst $$,\$$,$(value BR2_PACKAGE_EVWAIT_RECOVERY_ACTION)))

define EVWAIT_SET_RECOVERY_ACTION
	$(SED) '/^EVWAIT_RECOVERY_ACTION=/d' \
		$(TARGET_DIR)/etc/default/evwait-recovery
	printf '%s\n' \
		'# From BR2_PACKAGE_EVWAIT_RECOVERY_ACTION:' \
		'EVWAIT_RECOVERY_ACTION=$(subst ','\'',$(EVWAIT_RECOVERY_ACTION))' \
		>>$(TARGET_DIR)/etc/default/evwait-recovery
endef
EVWAIT_POST_INSTALL_TARGET_HOOKS += EVWAIT_SET_RECOVERY_ACTION

# The chosen keys, devices, console key and window, without the
# configuration's quotes, for evwait-trigger, and the shell timeout (0: none)
# and the LED: only those set are written, each in single quotes for sh. None
# set leaves the installed settings as they are: any input event within five
# seconds counts.
EVWAIT_RECOVERY_KEYS = $(call qstrip,$(BR2_PACKAGE_EVWAIT_RECOVERY_KEYS))
EVWAIT_RECOVERY_DEVICES = $(call qstrip,$(BR2_PACKAGE_EVWAIT_RECOVERY_DEVICES))
EVWAIT_RECOVERY_CONSOLE_KEY = $(call qstrip,$(BR2_PACKAGE_EVWAIT_RECOVERY_CONSOLE_KEY))
EVWAIT_RECOVERY_WINDOW = $(BR2_PACKAGE_EVWAIT_RECOVERY_WINDOW)
EVWAIT_RECOVERY_SHELL_TIMEOUT = $(filter-out 0,$(BR2_PACKAGE_EVWAIT_RECOVERY_SHELL_TIMEOUT))
EVWAIT_RECOVERY_LED = $(call qstrip,$(BR2_PACKAGE_EVWAIT_RECOVERY_LED))
EVWAIT_RECOVERY_CHOSEN = $(strip \
	$(foreach s,KEYS DEVICES CONSOLE_KEY WINDOW SHELL_TIMEOUT LED,$(if $(EVWAIT_RECOVERY_$(s)),$(s))))
# $(1) as one word for sh.
EVWAIT_SH_QUOTE = '$(subst ','\'',$(1))'

ifneq ($(EVWAIT_RECOVERY_CHOSEN),)
define EVWAIT_SET_RECOVERY_CHOICES
	$(SED) '$(foreach s,$(EVWAIT_RECOVERY_CHOSEN),/^EVWAIT_RECOVERY_$(s)=/d;)' \
		$(TARGET_DIR)/etc/default/evwait-recovery
	printf '%s\n' \
		'# From BR2_PACKAGE_EVWAIT_RECOVERY_KEYS, _DEVICES, _CONSOLE_KEY, _WINDOW, _SHELL_TIMEOUT and _LED:' \
		$(foreach s,$(EVWAIT_RECOVERY_CHOSEN),$(call EVWAIT_SH_QUOTE,EVWAIT_RECOVERY_$(s)=$(call EVWAIT_SH_QUOTE,$(EVWAIT_RECOVERY_$(s))))) \
		>>$(TARGET_DIR)/etc/default/evwait-recovery
endef
EVWAIT_POST_INSTALL_TARGET_HOOKS += EVWAIT_SET_RECOVERY_CHOICES
endif

define EVWAIT_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/recovery/sysv/S12evwait-recovery \
		$(TARGET_DIR)/etc/init.d/S12evwait-recovery
endef

# Installed, and enabled as Buildroot enables every unit: by
# "systemctl preset-all" when it finalizes the target. The second unit runs a
# recovery command once the local filesystems are mounted.
define EVWAIT_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/recovery/systemd/evwait-recovery.service \
		$(TARGET_DIR)/usr/lib/systemd/system/evwait-recovery.service
	$(INSTALL) -D -m 0644 $(@D)/recovery/systemd/evwait-recovery-action.service \
		$(TARGET_DIR)/usr/lib/systemd/system/evwait-recovery-action.service
endef
else
EVWAIT_CONF_OPTS += -DEVWAIT_INSTALL_RECOVERY=OFF
endif

$(eval $(cmake-package))
