# The entry points; each sets up everything it needs on a fresh machine.
#   make bench ARGS="--quick --cpp"   (flags: --quick, --cpp, --record)
.PHONY: demo test bench
demo:
	./scripts/demo.sh
test:
	./scripts/test.sh
bench:
	./scripts/bench.sh $(ARGS)
