# Stands in for package.mk. BuildPackage exposes the recipe's steps as
# targets: metadata, prepare (Build/Prepare) and package (Package/NAME/install
# into PKG_ROOT); the test does the CMake build in between, as cmake.mk would.
PKG_BUILD_DIR:=$(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR:=$(PKG_BUILD_DIR)/ipkg-install

define BuildPackage
$(eval $(Package/$(1)))
metadata:
	@echo 'PKG_NAME=$(PKG_NAME)'
	@echo 'PKG_VERSION=$(PKG_VERSION)'
	@echo 'PKG_RELEASE=$(PKG_RELEASE)'
	@echo 'PKG_LICENSE=$(PKG_LICENSE)'
	@echo 'PKG_INSTALL=$(PKG_INSTALL)'
	@echo 'SECTION=$(SECTION)'
	@echo 'CATEGORY=$(CATEGORY)'
	@echo 'TITLE=$(TITLE)'
	@echo 'DEPENDS=$(strip $(DEPENDS))'
	@echo 'USERID=$(USERID)'
	@echo 'CMAKE_OPTIONS=$(strip $(CMAKE_OPTIONS))'
	@echo 'PKG_BUILD_DIR=$(PKG_BUILD_DIR)'
	@echo 'PKG_INSTALL_DIR=$(PKG_INSTALL_DIR)'
prepare:
	$(Build/Prepare)
package:
	$(call Package/$(1)/install,$(PKG_ROOT))
endef
