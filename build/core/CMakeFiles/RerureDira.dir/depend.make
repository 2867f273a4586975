# Empty dependencies file for RerureDira.
# This may be replaced when dependencies are built.
