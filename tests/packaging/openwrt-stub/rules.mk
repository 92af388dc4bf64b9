# Stands in for the OpenWrt buildroot's rules.mk: just enough for the
# package recipe to be read and its steps run on the host.
INCLUDE_DIR:=$(TOPDIR)
CP:=cp -fpR
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
