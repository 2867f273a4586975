# Empty dependencies file for DiruriRediro.
# This may be replaced when dependencies are built.
