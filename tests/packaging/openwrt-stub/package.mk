# Stands in for package.mk. BuildPackage exposes the recipe's steps as
# targets: metadata, prepare (Build/Prepare) and package
# (Package/NAME/install into PKG_ROOT). As the buildroot does, package puts
# the conffiles the package ships into CONTROL/conffiles and lists the
# others in lib/upgrade/keep.d, which sysupgrade keeps, and Build/Patch
# applies the recipe's patches/. The test does the CMake build in between,
# as cmake.mk would.
PKG_BUILD_DIR:=$(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR:=$(PKG_BUILD_DIR)/ipkg-install
PKG_PATCHES=$(sort $(wildcard $(CURDIR)/patches/*.patch))

define Build/Patch
	$(if $(PKG_PATCHES),cat $(PKG_PATCHES) | patch -d $(PKG_BUILD_DIR) -p1 -s)
endef

define BuildPackage
$(eval $(Package/$(1)))
metadata:
	@echo 'PKG_VERSION=$(PKG_VERSION)'
	@echo 'PKG_LICENSE_FILES=$(PKG_LICENSE_FILES)'
	@echo 'USERID=$(USERID)'
	@echo 'CMAKE_OPTIONS=$(strip $(CMAKE_OPTIONS))'
	@echo 'PKG_BUILD_DIR=$(PKG_BUILD_DIR)'
	@echo 'PKG_INSTALL_DIR=$(PKG_INSTALL_DIR)'
prepare:
	$(Build/Prepare)
package:
	$(call Package/$(1)/install,$(PKG_ROOT))
	for file in $(strip $(Package/$(1)/conffiles)); do \
		if [ -e $(PKG_ROOT)$$$$file ]; then list=CONTROL/conffiles; \
		else list=lib/upgrade/keep.d/$(1); fi; \
		mkdir -p $(PKG_ROOT)/$$$${list%/*} && echo $$$$file >>$(PKG_ROOT)/$$$$list; \
	done
endef
