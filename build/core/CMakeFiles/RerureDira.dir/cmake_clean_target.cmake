file(REMOVE_RECURSE
  "libRerureDira.a"
)
